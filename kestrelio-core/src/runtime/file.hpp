#pragma once

#include <coroutine>
#include <memory>

#include "runtime/unique_fd.hpp"

namespace kestrelio::runtime {

class OrderedLane;

// A reference-counted open file of the runtime thread. Every copy is one
// reference; dropping the last one closes the descriptor at once. close()
// (fs.hpp) instead waits for the other references to go and then closes
// through the driver, so its error can be reported.
class File {
 public:
  File() = default;
  explicit File(UniqueFd fd) : inner_(std::make_shared<Inner>(std::move(fd))) {}
  File(const File&) = default;
  File(File&& o) noexcept = default;
  File& operator=(const File& o) {
    if (this != &o) {
      File keep(o);
      reset();
      inner_ = std::move(keep.inner_);
    }
    return *this;
  }
  File& operator=(File&& o) noexcept {
    if (this != &o) {
      reset();
      inner_ = std::move(o.inner_);
    }
    return *this;
  }
  ~File() { reset(); }

  explicit operator bool() const noexcept { return inner_ != nullptr; }
  int fd() const noexcept { return inner_ ? inner_->fd.get() : -1; }
  long references() const noexcept { return inner_.use_count(); }
  // Pool work on this file that must reach the kernel in submission order
  // (its appending writes). Made on first use; the File must not be empty.
  OrderedLane& ordered_lane() const;

  void reset() noexcept;

 private:
  friend class CloseAwaiter;
  struct Inner {
    explicit Inner(UniqueFd f) : fd(std::move(f)) {}
    UniqueFd fd;
    // The one task inside close(), waiting for the others to let go.
    std::coroutine_handle<> closer;
    std::shared_ptr<OrderedLane> lane;
  };
  std::shared_ptr<Inner> inner_;
};

// Suspends until the awaiting File is the only reference left.
class CloseAwaiter {
 public:
  explicit CloseAwaiter(File& f) noexcept : f_(f) {}
  CloseAwaiter(const CloseAwaiter&) = delete;
  CloseAwaiter& operator=(const CloseAwaiter&) = delete;
  ~CloseAwaiter();
  bool await_ready() const noexcept { return f_.inner_.use_count() <= 1; }
  void await_suspend(std::coroutine_handle<> h) noexcept {
    f_.inner_->closer = h;
    me_ = h;
  }
  // Hands the descriptor over; the File is empty afterwards.
  UniqueFd await_resume() noexcept;

 private:
  File& f_;
  std::coroutine_handle<> me_;
};

}  // namespace kestrelio::runtime
