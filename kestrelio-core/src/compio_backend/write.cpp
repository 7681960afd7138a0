#include "compio_backend/write.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "runtime/blocking.hpp"
#include "runtime/fs.hpp"

namespace kestrelio::compio_backend {

runtime::Task<Status> write_all(const runtime::File& file, std::uint64_t pos, Payload data) {
  std::size_t written = 0;
  while (written < data.size()) {
    auto r = co_await runtime::write_at(file, pos + written, std::move(data), written);
    data = std::move(r.buf);
    if (!r.result) {
      if (r.result.error().kind() == IoErrorKind::Interrupted) continue;
      co_return r.result.error();
    }
    if (r.result.value() == 0) co_return IoError::custom(IoErrorKind::WriteZero, kWriteZero);
    written += r.result.value();
  }
  co_return std::monostate{};
}

runtime::Task<Expected<std::uint64_t>> append_all(const runtime::File& file, Payload data) {
  auto job = [fd = file.fd(), data = std::move(data)]() -> Expected<std::uint64_t> {
    std::size_t done = 0;
    while (done < data.size()) {
      ssize_t n = ::write(fd, data.data() + done, data.size() - done);
      if (n < 0) return IoError::last_os();
      // A write that accepts nothing would be repeated for ever; fail as the
      // positional path does.
      if (n == 0) return IoError::custom(IoErrorKind::WriteZero, kWriteZero);
      done += static_cast<std::size_t>(n);
    }
    // O_APPEND left the offset just past our bytes. Asking for the size
    // later could count an append that followed this one.
    off_t end = ::lseek(fd, 0, SEEK_CUR);
    if (end >= 0) return static_cast<std::uint64_t>(end);
    if (errno != ESPIPE) return IoError::last_os();
    // A pipe or socket has no offset: its size, as for any other file.
    struct stat st;
    if (::fstat(fd, &st) < 0) return IoError::last_os();
    return static_cast<std::uint64_t>(st.st_size);
  };
  // Several pool threads would race each other's writes into a different
  // order; the file's lane keeps them in call order.
  auto r = co_await runtime::spawn_blocking(std::move(job), &file.ordered_lane());
  if (!r.completed) co_return IoError::custom(IoErrorKind::Other, kAppendCancelled);
  co_return std::move(*r.value);
}

}  // namespace kestrelio::compio_backend
