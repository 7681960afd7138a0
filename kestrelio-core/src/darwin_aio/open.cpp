#include "darwin_aio/open.hpp"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

namespace kestrelio::darwin_aio {

namespace {

// The open(2) flags of the six options, or the reason they cannot be used.
Expected<int> open_flags(const std::string& path, const OpenOptions& options) {
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
  return flags;
}

// Regular files and directories open at once; anything else may wait for
// its other end (FIFO) or for a device.
bool opens_at_once(mode_t mode) noexcept { return S_ISREG(mode) || S_ISDIR(mode); }

}  // namespace

bool needs_size(const AfterOpen& after) noexcept { return !std::holds_alternative<after_open::WriteFileThen>(after); }

Expected<UniqueFd> open_raw(Sys& sys, const std::string& path, const OpenOptions& options) {
  Expected<int> flags = open_flags(path, options);
  if (!flags) return flags.error();
  int fd = sys.open(path.c_str(), flags.value(), 0666);
  if (fd < 0) return IoError::last_os();
  return UniqueFd(sys, fd);
}

Expected<OpenedFile> open_for(Sys& sys, const std::string& path, const OpenOptions& options, bool with_size) {
  Expected<UniqueFd> fd = open_raw(sys, path, options);
  if (!fd) return fd.error();
  OpenedFile file{std::move(fd).value(), 0};
  if (!with_size) return file;
  Expected<std::uint64_t> size = fd_size(sys, file.fd.get());
  if (!size) return size.error();  // `file` closes the descriptor
  file.size = size.value();
  return file;
}

std::optional<Expected<OpenedFile>> open_without_waiting(Sys& sys, const std::string& path,
                                                         const OpenOptions& options, bool with_size) {
  Expected<int> flags = open_flags(path, options);
  if (!flags) return Expected<OpenedFile>(flags.error());
  struct stat st;
  std::memset(&st, 0, sizeof st);
  if (sys.stat(path.c_str(), &st) == 0 && !opens_at_once(st.st_mode)) return std::nullopt;

  // O_NONBLOCK covers a path replaced by a FIFO since the stat: the open
  // then fails or yields a descriptor we recognise and give back.
  int raw = sys.open(path.c_str(), flags.value() | O_NONBLOCK, 0666);
  if (raw < 0) {
    int err = errno;
    // ENXIO: a FIFO without reader; EWOULDBLOCK: a lease the open must wait to break.
    if (err == ENXIO || err == EAGAIN || err == EWOULDBLOCK) return std::nullopt;
    return Expected<OpenedFile>(IoError::os(err));
  }
  OpenedFile file{UniqueFd(sys, raw), 0};
  std::memset(&st, 0, sizeof st);
  if (sys.fstat(raw, &st) != 0) return Expected<OpenedFile>(IoError::last_os());
  if (!opens_at_once(st.st_mode)) return std::nullopt;  // `file` gives the descriptor back
  // The descriptor is handed out: it must look like the blocking open asked for.
  int status = sys.fcntl(raw, F_GETFL, 0);
  if (status < 0 || sys.fcntl(raw, F_SETFL, status & ~O_NONBLOCK) != 0) return Expected<OpenedFile>(IoError::last_os());
  if (with_size) file.size = st.st_size < 0 ? 0 : static_cast<std::uint64_t>(st.st_size);
  return Expected<OpenedFile>(std::move(file));
}

Expected<std::uint64_t> fd_size(Sys& sys, int fd) {
  struct stat st;
  std::memset(&st, 0, sizeof st);
  if (sys.fstat(fd, &st) != 0) return IoError::last_os();
  return static_cast<std::uint64_t>(st.st_size < 0 ? 0 : st.st_size);
}

}  // namespace kestrelio::darwin_aio
