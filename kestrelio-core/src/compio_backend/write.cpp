#include "compio_backend/write.hpp"

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

runtime::Task<Status> append_all(const runtime::File& file, Payload data) {
  auto job = [fd = file.fd(), data = std::move(data)]() -> std::optional<IoError> {
    std::size_t done = 0;
    while (done < data.size()) {
      ssize_t n = ::write(fd, data.data() + done, data.size() - done);
      if (n < 0) return IoError::last_os();
      // A write that accepts nothing would be repeated for ever; fail as the
      // positional path does.
      if (n == 0) return IoError::custom(IoErrorKind::WriteZero, kWriteZero);
      done += static_cast<std::size_t>(n);
    }
    return std::nullopt;
  };
  // Several pool threads would race each other's writes into a different
  // order; the file's lane keeps them in call order.
  auto r = co_await runtime::spawn_blocking(std::move(job), &file.ordered_lane());
  if (!r.completed) co_return IoError::custom(IoErrorKind::Other, kAppendCancelled);
  if (*r.value) co_return **r.value;
  co_return std::monostate{};
}

}  // namespace kestrelio::compio_backend
