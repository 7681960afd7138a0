#pragma once

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "compio_backend/op_book.hpp"
#include "kestrelio/loop_ring.hpp"
#include "kestrelio/msg.hpp"
#include "runtime/runtime.hpp"

namespace kestrelio::loop_ring {

// One thread's runtime of the loop backend and the bookkeeping the runtime
// backend's thread keeps (file table, cancellation flags). Handle numbers
// come from one process-wide counter, so a handle names one file in the
// whole process; a handle used on a thread whose table lacks it fails as an
// unknown handle.
//
// Lifetime: made on the thread's first use and kept across event loops. At
// thread exit an idle runtime is destroyed; one with work in flight is leaked
// (its memory may still be lent to the kernel). In a forked child the
// parent's object is never touched: the child makes its own.
class LoopRuntime {
 public:
  // The calling thread's runtime, made on first use.
  static Expected<LoopRuntime*> for_this_thread();
  // The calling thread's runtime if it has one (of this process), else null.
  static LoopRuntime* existing() noexcept;
  // Sets the flag of `id` on whichever thread's runtime runs it: here
  // directly, elsewhere through that runtime's queue and wake.
  static void cancel_anywhere(OpId id);

  LoopRuntime(const LoopRuntime&) = delete;
  LoopRuntime& operator=(const LoopRuntime&) = delete;
  ~LoopRuntime();

  void submit(msg::Submit s) { book_.spawn(*rt_, std::move(s)); }
  bool request_flush(const void* owner, bool again) noexcept;
  void nudge() noexcept {
    flushes_queued_ = 0;
    rt_->cross_wake().ring();
  }
  bool drive(DriveCause cause);
  ThreadFds fds() const noexcept { return {rt_->completion_fd(), rt_->cross_wake().fd()}; }
  Stats stats() const noexcept;
  bool idle() const noexcept { return rt_->detached_tasks() == 0 && !rt_->io_pending(); }
  pid_t pid() const noexcept { return pid_; }

 private:
  explicit LoopRuntime(std::unique_ptr<runtime::Runtime> rt);
  // Any thread: queue a cancel for this runtime's thread and wake it.
  void post_cancel(OpId id);
  void take_posted_cancels();

  std::unique_ptr<runtime::Runtime> rt_;
  compio_backend::OpBook book_;
  pid_t pid_;
  unsigned flushes_queued_ = 0;  // Flush drives the owner has scheduled and not yet run
  const void* flush_owner_ = nullptr;
  std::uint64_t drives_ = 0;
  std::mutex posted_mutex_;
  std::vector<OpId> posted_cancels_;
  std::atomic<bool> has_posted_{false};
};

}  // namespace kestrelio::loop_ring
