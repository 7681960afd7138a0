#include "compio_backend/read.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <stdexcept>
#include <utility>

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
    auto n = co_await runtime::read_at(file, pos + target.filled, target.ptr + target.filled, len - target.filled,
                                       cancelled);
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
    auto r = co_await runtime::read_at(file, pos + filled, std::move(target), filled, len - filled, cancelled);
    target = std::move(r.buf);
    if (!r.result) co_return r.result.error();
    if (r.result.value() == 0) break;
    filled += r.result.value();
  }
  target.resize(filled);
  co_return std::move(target);
}

namespace {

// Room for the bytes beyond what fstat announced (a procfs file, a file that
// grows, a device without end). Fresh anonymous pages cost nothing until the
// kernel fills them, growing never copies what was read, and dropping the
// read hands every page back to the system at once.
class Overflow {
 public:
  static constexpr std::size_t kMin = std::size_t{64} << 10;
  static constexpr std::size_t kMax = std::size_t{64} << 20;

  // An empty Overflow (no memory) when the mapping fails.
  explicit Overflow(std::size_t len) {
    void* p = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return;
    ptr_ = static_cast<std::uint8_t*>(p);
    capacity_ = len;
  }
  Overflow(Overflow&& o) noexcept
      : filled(o.filled), ptr_(std::exchange(o.ptr_, nullptr)), capacity_(std::exchange(o.capacity_, 0)) {}
  Overflow& operator=(Overflow&&) = delete;
  Overflow(const Overflow&) = delete;
  ~Overflow() {
    if (ptr_) ::munmap(ptr_, capacity_);
  }

  explicit operator bool() const noexcept { return ptr_ != nullptr; }
  std::uint8_t* data() const noexcept { return ptr_; }
  std::size_t room() const noexcept { return capacity_ - filled; }

  std::size_t filled = 0;

 private:
  std::uint8_t* ptr_ = nullptr;
  std::size_t capacity_ = 0;
};

// Each new piece is as large as everything read so far, within bounds, so
// the number of pieces grows with the logarithm of the size, then linearly.
std::size_t next_overflow_len(std::uint64_t total) noexcept {
  return static_cast<std::size_t>(std::clamp<std::uint64_t>(total, Overflow::kMin, Overflow::kMax));
}

// One vector of the head and the pieces, in order; each piece is unmapped as
// soon as it is copied.
std::vector<std::uint8_t> join(std::vector<std::uint8_t> head, std::size_t head_len, std::vector<Overflow> tail) {
  head.resize(head_len);
  if (tail.empty()) return head;
  std::size_t total = head_len;
  for (const Overflow& piece : tail) total += piece.filled;
  head.reserve(total);
  for (Overflow& piece : tail) {
    head.insert(head.end(), piece.data(), piece.data() + piece.filled);
    Overflow gone(std::move(piece));
  }
  return head;
}

}  // namespace

runtime::Task<Expected<std::vector<std::uint8_t>>> read_to_end(const runtime::File& file, std::uint64_t pos,
                                                               std::size_t capacity, CancelFlag cancelled,
                                                               std::optional<std::uint64_t> known_end) {
  // The expected bytes go straight into the vector the reply carries; only
  // what lies beyond them goes through the overflow pieces.
  std::vector<std::uint8_t> head(std::max<std::size_t>(capacity, 1));
  std::size_t head_len = 0;
  std::vector<Overflow> tail;
  std::uint64_t total = 0;
  for (;;) {
    if (*cancelled) co_return IoError::os(ECANCELED);
    Expected<std::size_t> got = std::size_t{0};
    std::size_t room = 0;
    if (head_len < head.size()) {
      room = std::min(head.size() - head_len, kReadToEndStep);
      auto r = co_await runtime::read_at(file, pos + total, std::move(head), head_len, room, cancelled);
      head = std::move(r.buf);
      got = std::move(r.result);
      if (got) head_len += got.value();
    } else {
      if (tail.empty() || tail.back().room() == 0) {
        Overflow piece(next_overflow_len(total));
        if (!piece) co_return IoError::os(ENOMEM);
        tail.push_back(std::move(piece));
      }
      // The piece's memory stays mapped until this frame goes, which the
      // runtime's teardown defers until the kernel has let go of it.
      Overflow& piece = tail.back();
      room = std::min(piece.room(), kReadToEndStep);
      got = co_await runtime::read_at(file, pos + total, piece.data() + piece.filled, room, cancelled);
      if (got) piece.filled += got.value();
    }
    if (!got) {
      if (got.error().kind() == IoErrorKind::Interrupted) continue;
      co_return got.error();
    }
    if (got.value() == 0) break;
    total += got.value();
    if (known_end && got.value() < room && pos + total == *known_end) break;
  }
  co_return join(std::move(head), head_len, std::move(tail));
}

}  // namespace kestrelio::compio_backend
