#pragma once

#include <atomic>
#include <cstdint>

#include "kestrelio/channel.hpp"
#include "kestrelio/expected.hpp"
#include "runtime/unique_fd.hpp"

namespace kestrelio::runtime {

// The one way another thread interrupts the runtime: channel sends and pool
// completions call wake(). The eventfd is written only when the runtime is
// parked, and only by the first wake of that park, so a burst of sends costs a
// single write and a busy runtime costs none.
class CrossWake final : public Waker {
 public:
  CrossWake() = default;
  CrossWake(const CrossWake&) = delete;
  CrossWake& operator=(const CrossWake&) = delete;

  Expected<bool> open();

  // Any thread; may run under a channel's lock, so it only flips a word and
  // perhaps writes eight bytes.
  void wake() noexcept override;

  // Writes the eventfd whatever the state (a thread that waits on the fd
  // itself uses it to wake its own next wait).
  void ring() noexcept;
  // Runtime thread. Moves Running -> Parked; false when a wake came first (the
  // caller then handles it instead of sleeping).
  bool try_park() noexcept;
  // Runtime thread, after the sleep. True when some wake happened meanwhile.
  bool unpark() noexcept;
  // Any thread: whether a wake is pending (nothing is cleared).
  bool pending() const noexcept { return state_.load(std::memory_order_acquire) == Notified; }
  // Runtime thread, when not parked: true (and cleared) if a wake is pending.
  bool take_notified() noexcept;
  // Empties the eventfd counter after the driver saw it readable.
  void drain() noexcept;

  int fd() const noexcept { return fd_.get(); }
  // Number of eventfd writes so far; tests measure wake coalescing with it.
  std::uint64_t writes() const noexcept { return writes_.load(std::memory_order_relaxed); }

 private:
  enum State : int { Running, Parked, Notified };
  UniqueFd fd_;
  std::atomic<int> state_{Running};
  std::atomic<std::uint64_t> writes_{0};
};

}  // namespace kestrelio::runtime
