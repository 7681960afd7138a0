#include "compio_backend/pooled_read.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>

#include <cerrno>
#include <new>

namespace kestrelio::compio_backend {

PooledRead read_whole_on_pool(const std::string& path, std::uint64_t inline_max) {
  PooledRead out;
  if (path.find('\0') != std::string::npos) return out;  // the system calls would see only its head
  // Only a regular file is opened here. Opening a FIFO for reading, even
  // without blocking, would let a writer waiting in its own open go on
  // before anyone reads; a device's open may do anything. The ring opens
  // those as it always has. A path replaced by one of them between the stat
  // and the open is opened once here, without blocking, and left to the
  // ring: closing the gap (an O_PATH open reopened through /proc/self/fd)
  // cost a third of the throughput this job exists for.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return out;
  runtime::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return out;
  auto size = static_cast<std::uint64_t>(st.st_size);
  if (size > 0 && size <= inline_max) {
    try {
      // One byte more than the size: a read that returns exactly the size
      // has met the end of a regular file.
      std::vector<std::uint8_t> data(static_cast<std::size_t>(size) + 1);
      iovec iov{data.data(), data.size()};
      ssize_t got = ::preadv2(fd.get(), &iov, 1, 0, RWF_NOWAIT);
      if (got >= 0 && static_cast<std::uint64_t>(got) == size) {
        data.resize(static_cast<std::size_t>(got));
        out.bytes = std::move(data);
        return out;  // `fd` closes here, on the pool thread
      }
    } catch (const std::bad_alloc&) {
      // The ring's read reports it.
    }
  }
  int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return out;
  out.hint = runtime::SizeHint{size, size > 0};
  out.fd = std::move(fd);
  return out;
}

}  // namespace kestrelio::compio_backend
