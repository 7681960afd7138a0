#include "meta_blocking.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "platform.hpp"

namespace kestrelio {

namespace {

bool has_nul(const std::string& s) noexcept { return s.find('\0') != std::string::npos; }

OpResult unit_or_errno(int r) {
  if (r != 0) return IoError::last_os();
  return reply::Unit{};
}

EntryKind kind_of(unsigned char d_type) noexcept {
  switch (d_type) {
    case DT_UNKNOWN:
      return EntryKind::Unknown;
    case DT_REG:
      return EntryKind::File;
    case DT_DIR:
      return EntryKind::Dir;
    case DT_LNK:
      return EntryKind::Symlink;
    default:
      return EntryKind::Other;
  }
}

OpResult stat_blocking(const meta::Stat& s) {
  struct stat st;
  int r;
  if (s.target.fd) {
    r = ::fstat(*s.target.fd, &st);
  } else {
    r = ::fstatat(dir_of(s.target), s.target.path.c_str(), &st, s.follow_symlinks ? 0 : AT_SYMLINK_NOFOLLOW);
  }
  if (r != 0) return IoError::last_os();
  return reply::Stat{platform::stat_info(st)};
}

OpResult statvfs_blocking(const meta::StatVfs& s) {
  struct statvfs v;
  int r;
  do r = s.target.fd ? ::fstatvfs(*s.target.fd, &v) : ::statvfs(s.target.path.c_str(), &v);
  while (r != 0 && errno == EINTR);
  if (r != 0) return IoError::last_os();
  StatVfsInfo i;
  i.bsize = v.f_bsize;
  i.frsize = v.f_frsize;
  i.blocks = v.f_blocks;
  i.bfree = v.f_bfree;
  i.bavail = v.f_bavail;
  i.files = v.f_files;
  i.ffree = v.f_ffree;
  i.favail = v.f_favail;
  i.flag = v.f_flag;
  i.namemax = v.f_namemax;
  i.fsid = v.f_fsid;
  return reply::StatVfs{i};
}

OpResult readlink_blocking(const meta::ReadLink& l) {
  std::string buf(256, '\0');
  for (;;) {
    ssize_t n = ::readlinkat(dir_of(l.target), l.target.path.c_str(), buf.data(), buf.size());
    if (n < 0) return IoError::last_os();
    // A result that fills the buffer may have been cut: try again, larger.
    if (static_cast<std::size_t>(n) < buf.size()) {
      return reply::Bytes{std::vector<std::uint8_t>(buf.begin(), buf.begin() + n)};
    }
    buf.resize(buf.size() * 2);
  }
}

struct DirCloser {
  void operator()(DIR* d) const noexcept { ::closedir(d); }
};

OpResult listdir_blocking(const meta::ListDir& l) {
  DIR* dir;
  if (l.target.fd) {
    // A duplicate, so closing the stream leaves the caller's descriptor open;
    // both share one position, put back at the start afterwards.
    int dup = ::fcntl(*l.target.fd, F_DUPFD_CLOEXEC, 0);
    if (dup < 0) return IoError::last_os();
    dir = ::fdopendir(dup);
    if (!dir) {
      IoError e = IoError::last_os();
      ::close(dup);
      return e;
    }
  } else {
    dir = ::opendir(l.target.path.c_str());
    if (!dir) return IoError::last_os();
  }
  std::unique_ptr<DIR, DirCloser> owned(dir);
  if (l.target.fd) ::rewinddir(dir);
  reply::Entries out;
  for (;;) {
    errno = 0;
    dirent* e = ::readdir(dir);
    if (!e) {
      if (errno != 0) return IoError::last_os();
      break;
    }
    const char* n = e->d_name;
    if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
    out.names.emplace_back(n);
    if (l.with_types) {
      out.kinds.push_back(kind_of(e->d_type));
      out.inodes.push_back(static_cast<std::uint64_t>(e->d_ino));
    }
  }
  if (l.target.fd) ::rewinddir(dir);
  return out;
}

OpResult access_blocking(const meta::Access& a) {
  int flags = (a.effective_ids ? AT_EACCESS : 0) | (a.follow_symlinks ? 0 : AT_SYMLINK_NOFOLLOW);
  return unit_or_errno(::faccessat(dir_of(a.target), a.target.path.c_str(), a.mode, flags));
}

OpResult sendfile_blocking(const meta::SendFile& s) {
  std::uint64_t pos = s.offset.value_or(0);
  long long n;
  do n = platform::send_file(s.out_fd, s.in_fd, s.offset ? &pos : nullptr, s.count);
  while (n < 0 && errno == EINTR);
  if (n < 0) return IoError::last_os();
  return reply::Size{static_cast<std::uint64_t>(n)};
}

}  // namespace

int dir_of(const meta::Target& t) noexcept { return t.dir_fd ? *t.dir_fd : AT_FDCWD; }

std::optional<IoError> check_paths(const MetaOp& op) {
  bool nul = std::visit(
      [](const auto& m) {
        using T = std::decay_t<decltype(m)>;
        if constexpr (std::is_same_v<T, meta::Rename> || std::is_same_v<T, meta::Link>) {
          return has_nul(m.from.path) || has_nul(m.to.path);
        } else if constexpr (std::is_same_v<T, meta::Symlink>) {
          return has_nul(m.contents) || has_nul(m.link.path);
        } else if constexpr (std::is_same_v<T, meta::SendFile>) {
          return false;
        } else {
          return has_nul(m.target.path);
        }
      },
      op);
  if (nul) return IoError::custom(IoErrorKind::InvalidInput, kMetaPathNul);
  return std::nullopt;
}

OpResult run_meta_blocking(const MetaOp& op) {
  if (auto bad = check_paths(op)) return *bad;
  return std::visit(
      [](const auto& m) -> OpResult {
        using T = std::decay_t<decltype(m)>;
        if constexpr (std::is_same_v<T, meta::Stat>) {
          return stat_blocking(m);
        } else if constexpr (std::is_same_v<T, meta::StatVfs>) {
          return statvfs_blocking(m);
        } else if constexpr (std::is_same_v<T, meta::Rename>) {
          return unit_or_errno(::renameat(dir_of(m.from), m.from.path.c_str(), dir_of(m.to), m.to.path.c_str()));
        } else if constexpr (std::is_same_v<T, meta::Remove>) {
          return unit_or_errno(::unlinkat(dir_of(m.target), m.target.path.c_str(), m.directory ? AT_REMOVEDIR : 0));
        } else if constexpr (std::is_same_v<T, meta::MakeDir>) {
          return unit_or_errno(::mkdirat(dir_of(m.target), m.target.path.c_str(), static_cast<mode_t>(m.mode)));
        } else if constexpr (std::is_same_v<T, meta::Link>) {
          return unit_or_errno(::linkat(dir_of(m.from), m.from.path.c_str(), dir_of(m.to), m.to.path.c_str(),
                                        m.follow_symlinks ? AT_SYMLINK_FOLLOW : 0));
        } else if constexpr (std::is_same_v<T, meta::Symlink>) {
          return unit_or_errno(::symlinkat(m.contents.c_str(), dir_of(m.link), m.link.path.c_str()));
        } else if constexpr (std::is_same_v<T, meta::ReadLink>) {
          return readlink_blocking(m);
        } else if constexpr (std::is_same_v<T, meta::ListDir>) {
          return listdir_blocking(m);
        } else if constexpr (std::is_same_v<T, meta::Access>) {
          return access_blocking(m);
        } else {
          return sendfile_blocking(m);
        }
      },
      op);
}

}  // namespace kestrelio
