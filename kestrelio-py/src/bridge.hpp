#pragma once

#include <Python.h>

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
struct ThreadsafeBell {
  AnyThreadRef call_soon_threadsafe;  // the loop's bound method
};
class Doorbell {
 public:
  explicit Doorbell(PipeBell p) : v_(p) {}
  explicit Doorbell(ThreadsafeBell t) : v_(std::move(t)) {}
  Doorbell(Doorbell&& o) noexcept : v_(std::move(o.v_)) { o.v_ = PipeBell{}; }
  Doorbell& operator=(Doorbell&&) = delete;
  ~Doorbell();

  const PipeBell* pipe() const noexcept { return std::get_if<PipeBell>(&v_); }
  const ThreadsafeBell* threadsafe() const noexcept { return std::get_if<ThreadsafeBell>(&v_); }

 private:
  std::variant<PipeBell, ThreadsafeBell> v_;
};

// Carries finished operations of one event loop back to that loop. Shared by
// the bridges map and every operation in flight; the drain handle holds it
// weakly, so the loop's reader registration does not keep it alive.
struct LoopBridge {
  AnyThreadRef loop;
  AnyThreadRef future_factory;
  std::uintptr_t loop_key = 0;
  std::mutex queue_mutex;  // never held with another lock or while Python runs
  std::vector<Completion> queue;
  std::optional<Doorbell> doorbell;
  AnyThreadRef drain;
  std::atomic<bool> drain_scheduled{false};

  // Any thread, with or without the interpreter lock.
  void complete(Completion c);
  // The body of a DrainHandle call. Loop thread, interpreter lock held.
  void run_drain();
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
