#include "loop_drive.hpp"

#include "bridge.hpp"
#include "completion.hpp"
#include "drain_handle.hpp"
#include "errors.hpp"
#include "globals.hpp"
#include "py_ref.hpp"

namespace kestrelio::py {

namespace {

// Callers answered between two flushes when the device answered many at once.
constexpr std::size_t kSplitEvery = 4;

PyObject* call_soon_name() {
  static PyObject* s = nullptr;
  if (!s) s = PyUnicode_InternFromString("call_soon");
  return s;
}

// Withdraws a reader this bridge registered for another runtime (the loop
// now runs on another thread); errors are of no interest.
void forget_reader(PyObject* loop, int fd) {
  if (fd < 0) return;
  PyObject* r = PyObject_CallMethod(loop, "remove_reader", "i", fd);
  if (r) {
    Py_DECREF(r);
  } else {
    PyErr_Clear();
  }
}

bool add_reader(PyObject* loop, int fd, PyObject* handle) {
  PyRef r = PyRef::steal(PyObject_CallMethod(loop, "add_reader", "iO", fd, handle));
  return static_cast<bool>(r);
}

}  // namespace

bool watch_loop_runtime(const std::shared_ptr<LoopBridge>& bridge) {
  const void* token = nullptr;
  auto fds = loop_ring::thread_fds(&token);
  if (!fds) {
    raise_io_error(fds.error());
    return false;
  }
  if (bridge->ring_token == token) return true;
  PyRef loop = PyRef::steal(bridge->loop());
  if (!loop) {
    PyErr_SetString(PyExc_RuntimeError, "the event loop of this kestrelio bridge is gone");
    return false;
  }
  if (bridge->ring_token) {
    forget_reader(loop.get(), bridge->ring_fds[0]);
    forget_reader(loop.get(), bridge->ring_fds[1]);
    bridge->ring_token = nullptr;
  }
  PyRef flush = PyRef::steal(new_drain_handle(bridge, HandleRole::Flush));
  PyRef on_completions = PyRef::steal(new_drain_handle(bridge, HandleRole::Completions));
  PyRef on_wake = PyRef::steal(new_drain_handle(bridge, HandleRole::Wake));
  if (!flush || !on_completions || !on_wake) return false;
  const loop_ring::ThreadFds f = fds.value();
  // The loop's reader registrations hold the two handles; the bridge holds
  // the flush handle, which holds the bridge only weakly.
  bool watched = (f.completion_fd < 0 || add_reader(loop.get(), f.completion_fd, on_completions.get())) &&
                 add_reader(loop.get(), f.wake_fd, on_wake.get());
  if (!watched) {
    // A loop that cannot watch descriptors polls instead (see ring_polled).
    PyErr_Clear();
    forget_reader(loop.get(), f.completion_fd);
  }
  bridge->ring_polled = !watched;
  bridge->ring_flush = AnyThreadRef::steal(flush.release());
  bridge->ring_fds[0] = watched ? f.completion_fd : -1;
  bridge->ring_fds[1] = watched ? f.wake_fd : -1;
  bridge->ring_token = token;
  // Work left by an earlier loop on this thread (or a flush it never ran)
  // is driven by this loop from now on.
  loop_ring::nudge();
  return true;
}

void schedule_flush(LoopBridge& bridge, bool again) {
  if (!loop_ring::request_flush(&bridge, again)) return;
  PyRef loop = PyRef::steal(bridge.loop());
  if (loop && bridge.ring_flush) {
    PyObject* args[2] = {loop.get(), bridge.ring_flush.get()};
    PyRef r = PyRef::steal(
        PyObject_VectorcallMethod(call_soon_name(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (r) return;
  }
  keep_interrupt_or_clear();
  loop_ring::nudge();
}

void drive_loop_runtime(const std::shared_ptr<LoopBridge>& bridge, loop_ring::DriveCause cause) {
  bool more;
  bool polled = bridge && bridge->ring_polled;
  {
    LocalCompletions here(bridge.get());
    // Polling, nobody reads the wake's eventfd: its count only grows, and
    // its state is taken from the runtime's wake word at every drive.
    more = loop_ring::drive(cause);
  }
  if (bridge) {
    // After shutdown() completions stay queued, as on the doorbell's way.
    std::size_t settled = 0;
    // The callers just answered resume in the loop's next iteration, and most
    // submit again there. A flush queued now runs after them in that same
    // iteration, taking all they submitted in one system call; queued by
    // their first submission instead, it would wait one iteration more.
    // A larger group gets a flush queued after every kSplitEvery callers:
    // what they submit reaches the device while the next ones run, rather
    // than every read of the group waiting for its last caller (at 64 reads
    // in flight a group runs for a few hundred microseconds of Python).
    // Only for completions the device gave back later: those reaped as
    // their submission returned (cached pages) cost too little to gain
    // from it, and the extra system calls are then pure loss.
    LoopBridge::Split split{kSplitEvery, [](LoopBridge& b) { schedule_flush(b, true); }};
    bool by_device = cause == loop_ring::DriveCause::Completions;
    if (DOORBELLS_ENABLED.load(std::memory_order_acquire)) settled = bridge->settle_queued(by_device ? &split : nullptr);
    if (more || settled > 0 || (polled && loop_ring::thread_stats().tasks > 0)) schedule_flush(*bridge, split.done);
  } else if (more) {
    loop_ring::nudge();
  }
}

}  // namespace kestrelio::py
