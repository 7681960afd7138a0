#include "darwin_aio/open.hpp"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

namespace kestrelio::darwin_aio {

Expected<UniqueFd> open_raw(Sys& sys, const std::string& path, const OpenOptions& options) {
  if (path.find('\0') != std::string::npos) return IoError::custom(IoErrorKind::InvalidInput, kPathContainsNul);

  int flags;
  if (options.write) {
    flags = options.read ? O_RDWR : O_WRONLY;
  } else if (options.append) {
    flags = options.read ? O_RDWR : O_WRONLY;
  } else if (options.read) {
    flags = O_RDONLY;
  } else {
    return IoError::custom(IoErrorKind::InvalidInput, kOpenNeedsAccess);
  }
  flags |= O_CLOEXEC;
  if (options.append) flags |= O_APPEND;
  if (options.truncate) flags |= O_TRUNC;
  // create_new implies create, and wins over it.
  if (options.create_new) {
    flags |= O_CREAT | O_EXCL;
  } else if (options.create) {
    flags |= O_CREAT;
  }

  int fd = sys.open(path.c_str(), flags, 0666);
  if (fd < 0) return IoError::last_os();
  return UniqueFd(sys, fd);
}

Expected<OpenedFile> open_for(Sys& sys, const std::string& path, const OpenOptions& options, const AfterOpen& after) {
  Expected<UniqueFd> fd = open_raw(sys, path, options);
  if (!fd) return fd.error();
  OpenedFile file{std::move(fd).value(), 0};
  if (std::holds_alternative<after_open::WriteFileThen>(after)) return file;
  Expected<std::uint64_t> size = fd_size(sys, file.fd.get());
  if (!size) return size.error();  // `file` closes the descriptor
  file.size = size.value();
  return file;
}

Expected<std::uint64_t> fd_size(Sys& sys, int fd) {
  struct stat st;
  std::memset(&st, 0, sizeof st);
  if (sys.fstat(fd, &st) != 0) return IoError::last_os();
  return static_cast<std::uint64_t>(st.st_size < 0 ? 0 : st.st_size);
}

}  // namespace kestrelio::darwin_aio
