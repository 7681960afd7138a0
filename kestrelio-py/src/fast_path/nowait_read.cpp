#include "fast_path/nowait_read.hpp"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

namespace kestrelio::py {

#if defined(__linux__) && defined(RWF_NOWAIT)

NowaitResult read_without_waiting(int fd, char* dest, std::size_t len, std::uint64_t pos) noexcept {
  if (pos > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return {NowaitKind::Failed, 0};
  // The kernel caps one read near 2 GiB anyway; the caller loops.
  constexpr std::size_t kMaxChunk = std::size_t{1} << 30;
  iovec iov{dest, len < kMaxChunk ? len : kMaxChunk};
  for (;;) {
    ssize_t n = preadv2(fd, &iov, 1, static_cast<off_t>(pos), RWF_NOWAIT);
    if (n >= 0) return {NowaitKind::Copied, static_cast<std::uint64_t>(n)};
    switch (errno) {
      case EINTR:
        continue;
      case EAGAIN:
        return {NowaitKind::NotResident, 0};
      case EOPNOTSUPP:
      case ENOSYS:
        return {NowaitKind::Unsupported, 0};
      default:
        return {NowaitKind::Failed, 0};
    }
  }
}

bool reads_without_waiting(int fd) noexcept {
  char byte;
  NowaitKind kind = read_without_waiting(fd, &byte, 1, 0).kind;
  return kind == NowaitKind::Copied || kind == NowaitKind::NotResident;
}

#else

NowaitResult read_without_waiting(int, char*, std::size_t, std::uint64_t) noexcept {
  return {NowaitKind::Unsupported, 0};
}

bool reads_without_waiting(int) noexcept { return false; }

#endif

}  // namespace kestrelio::py
