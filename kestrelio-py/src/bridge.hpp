#pragma once

#include <Python.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <variant>
#include <vector>

#include "completion.hpp"
#include "pending_release.hpp"

namespace kestrelio::py {

// How a bridge wakes its loop.
struct PipeBell {
  int read_fd = -1;
  int write_fd = -1;
};
// Holds nothing of the loop: its bound call_soon_threadsafe would keep the
// loop alive. The method is looked up at each ring.
struct ThreadsafeBell {};
class Doorbell {
 public:
  explicit Doorbell(PipeBell p) : v_(p) {}
  explicit Doorbell(ThreadsafeBell t) : v_(t) {}
  Doorbell(Doorbell&& o) noexcept : v_(std::move(o.v_)) { o.v_ = PipeBell{}; }
  Doorbell& operator=(Doorbell&&) = delete;
  ~Doorbell();

  const PipeBell* pipe() const noexcept { return std::get_if<PipeBell>(&v_); }
  const ThreadsafeBell* threadsafe() const noexcept { return std::get_if<ThreadsafeBell>(&v_); }

 private:
  std::variant<PipeBell, ThreadsafeBell> v_;
};

// Finished operations waiting for their loop's drain, oldest first. Shared
// with the drain handle, which shows the queued futures to the garbage
// collector: a dropped loop whose only remaining references come from its
// queued completions can then be collected.
struct CompletionQueue {
  std::mutex mutex;  // never held with another lock or while Python runs
  std::vector<Completion> items;
  // The process whose threads take the mutex. A forked child may have been
  // made while a backend thread of the parent held it, and that thread does
  // not exist there: the child never takes it.
  std::uint32_t process = 0;
};

// Carries finished operations of one event loop back to that loop. Shared by
// the bridges map and every operation in flight; the drain handle holds it
// weakly, so the loop's reader registration does not keep it alive. The
// bridge holds its loop weakly too, so a loop dropped without close() can be
// collected; the reference's callback then removes the bridge from the map.
struct LoopBridge {
  LoopBridge() = default;
  LoopBridge(const LoopBridge&) = delete;
  LoopBridge& operator=(const LoopBridge&) = delete;
  // Withdraws the doorbell from the loop when torn down on the loop's thread
  // while the loop lives; otherwise (another thread, loop gone) it only
  // closes the descriptors.
  ~LoopBridge();

  // A weak reference to the loop, or the loop itself for a loop type that
  // refuses weak references.
  AnyThreadRef loop_ref;
  bool loop_is_weak = false;
  std::uintptr_t loop_key = 0;
  unsigned long loop_thread = 0;  // thread that made the bridge, the loop's
  pid_t creator_pid = 0;          // a forked child never touches the loop
  std::shared_ptr<CompletionQueue> queue = std::make_shared<CompletionQueue>();
  std::optional<Doorbell> doorbell;
  // Held only for the call_soon_threadsafe doorbell; with a pipe the loop's
  // reader registration holds the drain handle, so that the loop, the handle
  // and the queued futures form a cycle the collector can see.
  AnyThreadRef drain;
  std::atomic<bool> drain_scheduled{false};
  // Loop backend (loop_drive.hpp): the handle the loop calls soon after
  // submissions, and which thread's runtime the loop's readers watch.
  AnyThreadRef ring_flush;
  const void* ring_token = nullptr;
  int ring_fds[2] = {-1, -1};
  // The loop refused add_reader: each drive schedules the next while
  // operations are in flight, so the loop polls the runtime instead.
  bool ring_polled = false;

  // Any thread, with or without the interpreter lock. Inside a
  // LocalCompletions scope for this bridge it only queues.
  void complete(Completion c);
  // Settles what is queued, without the doorbell. Loop thread, interpreter
  // lock held.
  // Returns how many completions it settled. With `split`, split->midway is
  // called after every split->every completions settled, unless none
  // follow; split->done tells whether it came.
  struct Split {
    std::size_t every;
    void (*midway)(LoopBridge&);
    bool done = false;
  };
  std::size_t settle_queued(Split* split = nullptr);
  // The body of a DrainHandle call. Loop thread, interpreter lock held.
  void run_drain();

  // The loop (new reference), or null without an exception once it is gone.
  // Interpreter lock held.
  PyObject* loop() const;
  // True when this bridge belongs to `loop`. Runs no Python code.
  bool serves(PyObject* loop) const;
  // A new KernelFuture bound to the loop, or null with an exception set.
  // Interpreter lock held.
  PyObject* new_future() const;
};

// While it lives, completions of `bridge` made on this thread are only
// queued: the thread settles them itself afterwards (settle_queued), with no
// doorbell write and no trip through the loop.
class LocalCompletions {
 public:
  explicit LocalCompletions(LoopBridge* bridge) noexcept;
  ~LocalCompletions();
  LocalCompletions(const LocalCompletions&) = delete;
  LocalCompletions& operator=(const LocalCompletions&) = delete;

 private:
  LoopBridge* previous_;
};

// The running loop's bridge, created on first use; null with an exception
// set (asyncio's RuntimeError outside a running loop). Interpreter lock held.
std::shared_ptr<LoopBridge> bridge_for_running_loop();

// The KernelFuture class (borrowed, cached), or null with the import error.
PyObject* kernel_future_class();

// A Pipe doorbell registered with the loop's add_reader, or nothing when a
// pipe cannot be set up or the loop refuses. Never raises.
std::optional<Doorbell> pipe_doorbell(PyObject* loop, PyObject* drain_handle);

}  // namespace kestrelio::py
