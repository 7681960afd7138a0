#include "compio_backend/read.hpp"

#include <algorithm>
#include <cerrno>
#include <new>
#include <stdexcept>

#include "runtime/fs.hpp"

namespace kestrelio::compio_backend {

Expected<std::vector<std::uint8_t>> owned_read_buffer(std::size_t len) {
  std::vector<std::uint8_t> v;
  if (len > v.max_size()) return IoError::custom(IoErrorKind::InvalidInput, kReadTooLarge);
  try {
    v.reserve(len);
  } catch (const std::bad_alloc&) {
    return IoError::os(ENOMEM);
  } catch (const std::length_error&) {
    return IoError::custom(IoErrorKind::InvalidInput, kReadTooLarge);
  }
  return v;
}

runtime::Task<Expected<RawBufMut>> read_up_to(const runtime::File& file, std::uint64_t pos, RawBufMut target,
                                              std::size_t len, CancelFlag cancelled) {
  for (;;) {
    if (*cancelled) co_return IoError::os(ECANCELED);
    if (target.filled >= len) break;
    auto n = co_await runtime::read_at(file, pos + target.filled, target.ptr + target.filled, len - target.filled);
    if (!n) co_return n.error();
    if (n.value() == 0) break;
    target.filled += n.value();
  }
  co_return target;
}

runtime::Task<Expected<std::vector<std::uint8_t>>> read_up_to(const runtime::File& file, std::uint64_t pos,
                                                              std::vector<std::uint8_t> target, std::size_t len,
                                                              CancelFlag cancelled) {
  target.resize(len);
  std::size_t filled = 0;
  for (;;) {
    if (*cancelled) co_return IoError::os(ECANCELED);
    if (filled >= len) break;
    auto r = co_await runtime::read_at(file, pos + filled, std::move(target), filled, len - filled);
    target = std::move(r.buf);
    if (!r.result) co_return r.result.error();
    if (r.result.value() == 0) break;
    filled += r.result.value();
  }
  target.resize(filled);
  co_return std::move(target);
}

runtime::Task<Expected<std::vector<std::uint8_t>>> read_to_end(const runtime::File& file, std::uint64_t pos,
                                                               std::size_t capacity) {
  // The vector's size stands for its capacity here; it is cut to `total` at the end.
  std::vector<std::uint8_t> buf(std::max<std::size_t>(capacity, 1));
  std::size_t total = 0;
  for (;;) {
    if (total == buf.size()) buf.resize(std::max(buf.size() * 2, total + 32));
    std::size_t room = buf.size() - total;  // taken before buf is moved into the read
    auto r = co_await runtime::read_at(file, pos + total, std::move(buf), total, room);
    buf = std::move(r.buf);
    if (!r.result) {
      if (r.result.error().kind() == IoErrorKind::Interrupted) continue;
      co_return r.result.error();
    }
    if (r.result.value() == 0) break;
    total += r.result.value();
  }
  buf.resize(total);
  co_return std::move(buf);
}

}  // namespace kestrelio::compio_backend
