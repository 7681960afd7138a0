#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace kestrelio {

// Operations on the file-system namespace: they name files by path (or by a
// descriptor the caller keeps), never by a handle of the file table.
namespace meta {

// What a metadata operation acts on: `path` looked up from the directory
// `dir_fd` (none: the working directory), or, when `fd` is set, that open
// descriptor itself. The descriptors belong to the caller, who keeps them
// open until the reply.
struct Target {
  std::string path;  // owned byte string; may hold a NUL, which the backend rejects
  std::optional<std::int32_t> dir_fd;
  std::optional<std::int32_t> fd;
};

struct Stat {
  Target target;
  bool follow_symlinks = true;
};
struct StatVfs {
  Target target;
};
// rename(2): replaces an existing `to` where the system allows it.
struct Rename {
  Target from;
  Target to;
};
// unlink(2), or rmdir(2) with `directory`.
struct Remove {
  Target target;
  bool directory = false;
};
struct MakeDir {
  Target target;
  std::uint32_t mode = 0777;  // subject to the umask
};
struct Link {
  Target from;
  Target to;
  bool follow_symlinks = false;  // resolve `from` when it is a symbolic link
};
// A symbolic link at `link` whose contents are `contents`.
struct Symlink {
  std::string contents;
  Target link;
};
struct ReadLink {
  Target target;
};
// The names of a directory but "." and "..", in the system's order; with
// `with_types`, each with its entry type and inode number.
struct ListDir {
  Target target;
  bool with_types = false;
};
// faccessat(2) with the caller's R_OK/W_OK/X_OK/F_OK bits.
struct Access {
  Target target;
  int mode = 0;
  bool effective_ids = false;
  bool follow_symlinks = true;
};
// sendfile(2) between two descriptors the caller keeps; without `offset`
// the input's own file position is used and advanced.
struct SendFile {
  std::int32_t out_fd;
  std::int32_t in_fd;
  std::optional<std::uint64_t> offset;
  std::uint64_t count;
};

}  // namespace meta

// One metadata operation. The order of the alternatives is fixed.
using MetaOp = std::variant<meta::Stat, meta::StatVfs, meta::Rename, meta::Remove, meta::MakeDir, meta::Link,
                            meta::Symlink, meta::ReadLink, meta::ListDir, meta::Access, meta::SendFile>;

// The fields of a stat result, whichever call produced them.
struct StatInfo {
  std::uint32_t mode = 0;
  std::uint64_t ino = 0;
  std::uint64_t dev = 0;
  std::uint64_t nlink = 0;
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::int64_t size = 0;
  std::int64_t atime_sec = 0;
  std::int64_t mtime_sec = 0;
  std::int64_t ctime_sec = 0;
  std::uint32_t atime_nsec = 0;
  std::uint32_t mtime_nsec = 0;
  std::uint32_t ctime_nsec = 0;
  std::int64_t blksize = 0;
  std::int64_t blocks = 0;
  std::uint64_t rdev = 0;
};

struct StatVfsInfo {
  std::uint64_t bsize = 0;
  std::uint64_t frsize = 0;
  std::uint64_t blocks = 0;
  std::uint64_t bfree = 0;
  std::uint64_t bavail = 0;
  std::uint64_t files = 0;
  std::uint64_t ffree = 0;
  std::uint64_t favail = 0;
  std::uint64_t flag = 0;
  std::uint64_t namemax = 0;
  std::uint64_t fsid = 0;
};

// A directory entry's type as the listing reported it, without a stat.
enum class EntryKind : std::uint8_t { Unknown, File, Dir, Symlink, Other };

}  // namespace kestrelio
