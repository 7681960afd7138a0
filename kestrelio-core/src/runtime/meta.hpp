#pragma once

#include <linux/stat.h>
#include <sys/types.h>

#include <string>

#include "runtime/fs.hpp"

namespace kestrelio::runtime {

// Operations on names, through the driver: the ring's own opcode where the
// probe found it, the pool otherwise. Paths are relative to the directory
// descriptors given (AT_FDCWD for the working directory) and must not hold
// a NUL; the caller keeps the descriptors open until the result.

// statx(2) with the STATX_BASIC_STATS fields; EINTR is retried.
Task<Expected<struct statx>> stat_at(int dir_fd, std::string path, int at_flags);
Task<Status> rename_at(int from_dir, std::string from, int to_dir, std::string to);
Task<Status> unlink_at(int dir_fd, std::string path, int at_flags);
Task<Status> mkdir_at(int dir_fd, std::string path, mode_t mode);
// A symbolic link at `path` whose contents are `contents`.
Task<Status> symlink_at(std::string contents, int dir_fd, std::string path);
Task<Status> link_at(int from_dir, std::string from, int to_dir, std::string to, int at_flags);

}  // namespace kestrelio::runtime
