#pragma once

#include <coroutine>
#include <cstddef>
#include <deque>
#include <memory>
#include <unordered_set>
#include <vector>

#include "kestrelio/driver.hpp"
#include "kestrelio/expected.hpp"
#include "runtime/blocking_pool.hpp"
#include "runtime/cross_wake.hpp"
#include "runtime/io_driver.hpp"
#include "runtime/task.hpp"

namespace kestrelio::runtime {

struct RuntimeOptions {
  RuntimeDriverChoice driver = RuntimeDriverChoice::Auto;
  unsigned ring_entries = 256;
  PoolOptions pool;
  // The thread waits on completion_fd() and the cross-thread wake's fd
  // itself (an event loop's selector) and drives the runtime with pump(),
  // instead of sleeping inside block_on.
  bool external_wait = false;
  // io_uring: reads and writes of at least this many bytes are handed to the
  // kernel's workers (IOSQE_ASYNC) instead of being tried inline during the
  // submission, where a cached transfer would copy on this thread. 0: never.
  std::size_t async_threshold = 0;
  // io_uring: whole-file reads in progress on this runtime from which a
  // further one goes to the pool as one job (compio_backend/pooled_read.hpp)
  // rather than to the ring. 0: never.
  std::size_t whole_reads_to_pool = 0;
};

// Something outside the runtime's own queues that a cross-thread wake may
// have made ready (an awaited channel). Polled on the runtime thread after
// every wake; it schedules its waiting coroutine itself.
class RemoteWaiter {
 public:
  virtual ~RemoteWaiter() = default;
  virtual void on_remote_wake() = 0;
};

// A single-threaded completion runtime, bound to the thread that creates it.
// Tasks run on that thread only; other threads reach it through the
// cross-thread wake (channel sends, pool completions).
class Runtime {
 public:
  // Auto tries io_uring (ring setup and opcode probe) and falls back to
  // polling; IoUring and Polling force one, and a forced io_uring that cannot
  // be set up fails with its error.
  static Expected<std::unique_ptr<Runtime>> create(RuntimeOptions options = {});
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;
  // Abandons every pending task, but only after the kernel and the pool have
  // let go of every in-flight operation's memory; see the definition.
  ~Runtime();

  // The runtime of the calling thread; using runtime operations on a thread
  // without one is a programming error.
  static Runtime& current() noexcept;

  RuntimeDriverType driver_type() const noexcept { return driver_->type(); }

  // Starts `task` detached: it first runs with the next ready batch, and its
  // frame is freed when it ends (or when the runtime is dropped).
  void spawn(Task<void> task);

  // Drives the runtime on this thread until `task` ends; returns its value.
  template <class T>
  T block_on(Task<T> task) {
    schedule(task.handle());
    while (!task.done()) {
      if (run_ready_once() == 0) turn();
    }
    return task.await_resume();
  }

  // Resumes every task that is ready now, once; returns how many ran.
  std::size_t run_ready_once();
  void schedule(std::coroutine_handle<> h);

  void submit(OpPtr op);
  // See IoDriver::abort_cancelled; on the runtime's thread, after a cancel flag was set.
  void abort_cancelled() { driver_->abort_cancelled(); }
  CrossWake& cross_wake() noexcept { return wake_; }
  BlockingPool& pool() noexcept { return *pool_; }
  RemoteQueue& remote() noexcept { return remote_; }
  // The thread is an event loop's, which waits in its own selector and never
  // watches for work before it sleeps (see RuntimeOptions).
  bool external_wait() const noexcept { return external_wait_; }

  void add_remote_waiter(RemoteWaiter* w);
  void remove_remote_waiter(RemoteWaiter* w);

  std::size_t detached_tasks() const noexcept { return roots_.size(); }

  // Driving from outside (RuntimeOptions::external_wait). All on the
  // runtime's thread, never blocking.
  //
  // Resumes up to `max` ready tasks; returns how many ran.
  std::size_t run_ready(std::size_t max);
  bool has_ready() const noexcept { return !ready_.empty(); }
  // Submits what the tasks prepared, reaps finished operations and takes
  // cross-thread work, making their waiters ready.
  void pump();
  // Before the thread goes back to waiting: true once the cross-thread wake
  // will write its fd for the next wake; false when a wake came first (its
  // work has then been taken and the caller should run tasks again).
  bool park();
  // After waiting: takes the wake's state back, and the work of a wake that
  // came meanwhile. The eventfd is emptied by its reader (a write may land
  // just after the state says Notified), through cross_wake().drain().
  void unpark();
  // Readable while completions wait to be reaped (the ring's fd), or -1 when
  // the driver has none (polling: everything comes through the wake).
  int completion_fd() const noexcept { return driver_->completion_fd(); }
  // Operations the kernel or the pool still holds.
  bool io_pending() const noexcept;
  std::uint64_t forced_async() const noexcept { return driver_->forced_async(); }
  // How whole-file reads are steered between the ring and the pool; kept
  // here, used by the backend's tasks (compio_backend/execute.cpp).
  struct WholeReads {
    std::size_t to_pool_from = 0;  // RuntimeOptions::whole_reads_to_pool
    std::size_t in_progress = 0;
    std::size_t pooled = 0;  // of which sent to the pool and not yet answered
    unsigned misses = 0;   // pool jobs in a row that could not read their file whole
    std::size_t skip = 0;  // reads left to keep from the pool meanwhile
    // The pool jobs go through one lane: one pool thread works through a
    // burst of them, rather than every thread of the pool taking turns
    // with the runtime's own on two cores.
    std::shared_ptr<OrderedLane> lane;
  };
  WholeReads& whole_reads() noexcept { return whole_reads_; }

 private:
  friend struct detail::PromiseBase;
  struct Key {};

 public:
  explicit Runtime(Key) {}

 private:
  // One round of waiting: reap completions, take cross-thread work, and if
  // nothing became ready, sleep in the driver.
  void turn();
  void finish(std::vector<OpPtr>& done);
  void take_remote();
  void forget_root(std::coroutine_handle<> h) noexcept;

  CrossWake wake_;
  RemoteQueue remote_{wake_};
  std::unique_ptr<BlockingPool> pool_;
  bool external_wait_ = false;
  WholeReads whole_reads_;
  std::unique_ptr<IoDriver> driver_;
  std::deque<std::coroutine_handle<>> ready_;
  std::unordered_set<void*> roots_;  // frames of detached tasks, by address
  std::vector<RemoteWaiter*> remote_waiters_;
  std::vector<OpPtr> done_scratch_;
  bool tearing_down_ = false;
  Runtime* previous_ = nullptr;
};

}  // namespace kestrelio::runtime
