#include "runtime/cross_wake.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

namespace kestrelio::runtime {

Expected<bool> CrossWake::open() {
  // Blocking on purpose: io_uring answers a read of a non-blocking eventfd
  // with EAGAIN instead of waiting, and drain() only runs once it is readable.
  int fd = ::eventfd(0, EFD_CLOEXEC);
  if (fd < 0) return IoError::last_os();
  fd_.reset(fd);
  return true;
}

void CrossWake::wake() noexcept {
  // acq_rel: the waker's earlier writes (a queued message, a pool result)
  // must be visible to the runtime once it sees Notified.
  if (state_.exchange(Notified, std::memory_order_acq_rel) != Parked) return;
  writes_.fetch_add(1, std::memory_order_relaxed);
  std::uint64_t one = 1;
  // One write per park keeps the counter far below the limit where it blocks.
  while (::write(fd_.get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void CrossWake::ring() noexcept {
  writes_.fetch_add(1, std::memory_order_relaxed);
  std::uint64_t one = 1;
  while (::write(fd_.get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
}

bool CrossWake::try_park() noexcept {
  int expected = Running;
  if (state_.compare_exchange_strong(expected, Parked, std::memory_order_acq_rel)) return true;
  state_.store(Running, std::memory_order_relaxed);
  return false;
}

bool CrossWake::unpark() noexcept { return state_.exchange(Running, std::memory_order_acq_rel) == Notified; }

bool CrossWake::take_notified() noexcept {
  int expected = Notified;
  return state_.compare_exchange_strong(expected, Running, std::memory_order_acq_rel);
}

void CrossWake::drain() noexcept {
  std::uint64_t value;
  while (::read(fd_.get(), &value, sizeof value) < 0 && errno == EINTR) {
  }
}

}  // namespace kestrelio::runtime
