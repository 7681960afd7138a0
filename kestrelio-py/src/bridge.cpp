#include "bridge.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "drain_handle.hpp"
#include "errors.hpp"
#include "globals.hpp"
#include "loop_drive.hpp"
#include "py_ref.hpp"

namespace kestrelio::py {

namespace {

constexpr std::uint8_t kRing = 0x01;

thread_local LoopBridge* t_local_bridge = nullptr;

// Imported once and kept; a failed lookup is retried on the next call.
PyObject* cached_attr(PyObject** slot, const char* module, const char* name) {
  if (*slot) return *slot;
  PyRef m = PyRef::steal(PyImport_ImportModule(module));
  if (!m) return nullptr;
  *slot = PyObject_GetAttrString(m.get(), name);
  return *slot;
}

PyObject* get_running_loop_fn() {
  static PyObject* fn = nullptr;
  return cached_attr(&fn, "asyncio", "get_running_loop");
}

// True only when the loop says it is closed. A loop that raises or answers
// something else may still be running and watching its doorbell, so its
// bridge stays.
bool loop_says_closed(PyObject* loop) {
  PyRef r = PyRef::steal(PyObject_CallMethod(loop, "is_closed", nullptr));
  if (!r) {
    PyErr_Clear();
    return false;
  }
  return r.get() == Py_True;
}

bool set_nonblocking_cloexec(int fd) {
  return fcntl(fd, F_SETFD, FD_CLOEXEC) == 0 && fcntl(fd, F_SETFL, O_NONBLOCK) == 0;
}

// The referent of a weak reference (new reference), or null once it is gone.
PyObject* weak_target(PyObject* ref) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* o = nullptr;
  if (PyWeakref_GetRef(ref, &o) < 0) PyErr_Clear();
  return o;
#else
  PyObject* o = PyWeakref_GetObject(ref);
  if (!o) {
    PyErr_Clear();
    return nullptr;
  }
  return o == Py_None ? nullptr : Py_NewRef(o);
#endif
}

// Weak reference callback: the loop is being collected, so its bridge leaves
// the map. `key` is the loop's address as an int; the entry is removed only
// if it is still the one this reference belongs to.
PyObject* on_loop_gone(PyObject* key, PyObject* ref) {
  auto k = reinterpret_cast<std::uintptr_t>(PyLong_AsVoidPtr(key));
  if (PyErr_Occurred()) return nullptr;
  std::shared_ptr<LoopBridge> gone;
  {
    Globals::Bridges& bridges = globals().bridges;
    std::lock_guard<std::mutex> lock(bridges.mutex);
    auto it = bridges.map.find(k);
    if (it != bridges.map.end() && it->second->loop_ref.get() == ref) {
      gone = std::move(it->second);
      bridges.map.erase(it);
    }
  }
  gone.reset();  // unlocked: closing the doorbell may release Python objects
  Py_RETURN_NONE;
}

PyMethodDef on_loop_gone_def = {"_loop_gone", on_loop_gone, METH_O, nullptr};

// Points the bridge at its loop: weakly, with a callback that drops the map
// entry when the loop dies; strongly for a loop type without weak references.
bool attach_loop(LoopBridge& bridge, PyObject* loop, std::uintptr_t key) {
  PyRef key_obj = PyRef::steal(PyLong_FromVoidPtr(reinterpret_cast<void*>(key)));
  if (!key_obj) return false;
  PyRef callback = PyRef::steal(PyCFunction_New(&on_loop_gone_def, key_obj.get()));
  if (!callback) return false;
  PyObject* ref = PyWeakref_NewRef(loop, callback.get());
  if (ref) {
    bridge.loop_ref = AnyThreadRef::steal(ref);
    bridge.loop_is_weak = true;
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyErr_Clear();
  bridge.loop_ref = AnyThreadRef::steal(Py_NewRef(loop));
  bridge.loop_is_weak = false;
  return true;
}

PyObject* kwnames_loop() {
  static PyObject* names = nullptr;
  if (!names) {
    PyRef name = PyRef::steal(PyUnicode_InternFromString("loop"));
    if (name) names = PyTuple_Pack(1, name.get());
  }
  return names;
}

}  // namespace

LoopBridge::~LoopBridge() {
  // A live loop would go on watching the descriptor number after the close
  // below, and a later pipe reusing it would never wake the loop. Only the
  // loop's own thread may withdraw the reader; anywhere else the loop is
  // closed or gone by the time its bridge is dropped. A forked child shares
  // the parent's epoll instance, so withdrawing there would deafen the parent.
  const PipeBell* p = doorbell ? doorbell->pipe() : nullptr;
  if (!p || !loop_ref || !PyGILState_Check() || PyThread_get_thread_ident() != loop_thread ||
      getpid() != creator_pid) {
    return;
  }
  PyObject* l = loop();
  if (!l) return;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyObject* r = PyObject_CallMethod(l, "remove_reader", "i", p->read_fd);
  if (r) {
    Py_DECREF(r);
  } else {
    PyErr_Clear();
  }
  PyErr_Restore(type, value, tb);
  Py_DECREF(l);
}

PyObject* LoopBridge::loop() const {
  if (!loop_ref) return nullptr;
  if (!loop_is_weak) return Py_NewRef(loop_ref.get());
  return weak_target(loop_ref.get());
}

bool LoopBridge::serves(PyObject* l) const {
  if (!loop_ref) return false;
  if (!loop_is_weak) return loop_ref.get() == l;
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* o = weak_target(loop_ref.get());
  Py_XDECREF(o);  // `o` was alive before this reference, so this frees nothing
  return o == l;
#else
  return PyWeakref_GET_OBJECT(loop_ref.get()) == l;
#endif
}

PyObject* LoopBridge::new_future() const {
  PyObject* cls = kernel_future_class();
  if (!cls) return nullptr;
  PyObject* names = kwnames_loop();
  if (!names) return nullptr;
  PyRef l = PyRef::steal(loop());
  if (!l) {
    PyErr_SetString(PyExc_RuntimeError, "the event loop of this kestrelio bridge is gone");
    return nullptr;
  }
  PyObject* args[1] = {l.get()};
  PyObject* fut = PyObject_Vectorcall(cls, args, 0, names);
  if (fut && in_forked_child()) {
    // Futures made before the fork carry no stamp: the class's default
    // tells them apart, and their cancel() settles them at once.
    static PyObject* pid_name = PyUnicode_InternFromString("_pid");
    PyRef pid = PyRef::steal(PyLong_FromUnsignedLong(current_process_id()));
    if (!pid_name || !pid || PyObject_SetAttr(fut, pid_name, pid.get()) < 0) {
      Py_DECREF(fut);
      return nullptr;
    }
  }
  return fut;
}

Doorbell::~Doorbell() {
  if (const PipeBell* p = pipe()) {
    if (p->read_fd >= 0) ::close(p->read_fd);
    if (p->write_fd >= 0) ::close(p->write_fd);
  }
}

PyObject* kernel_future_class() {
  static PyObject* cls = nullptr;
  return cached_attr(&cls, "kestrelio.futures", "KernelFuture");
}

std::optional<Doorbell> pipe_doorbell(PyObject* loop, PyObject* drain_handle) {
  int fds[2];
  if (::pipe(fds) != 0) return std::nullopt;
  Doorbell bell(PipeBell{fds[0], fds[1]});  // closes both ends on every early return
  if (!set_nonblocking_cloexec(fds[0]) || !set_nonblocking_cloexec(fds[1])) return std::nullopt;
  PyRef fd = PyRef::steal(PyLong_FromLong(fds[0]));
  if (!fd) {
    PyErr_Clear();
    return std::nullopt;
  }
  PyRef r = PyRef::steal(PyObject_CallMethod(loop, "add_reader", "OO", fd.get(), drain_handle));
  if (!r) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::optional<Doorbell>(std::move(bell));
}

std::shared_ptr<LoopBridge> bridge_for_running_loop() {
  PyObject* get_loop = get_running_loop_fn();
  if (!get_loop) return nullptr;
  PyRef loop = PyRef::steal(PyObject_CallNoArgs(get_loop));
  if (!loop) return nullptr;
  auto key = reinterpret_cast<std::uintptr_t>(loop.get());
  Globals::Bridges& bridges = globals().bridges;

  // Python code (is_closed, imports, add_reader) runs with the map unlocked:
  // it may switch threads or re-enter us, and either would deadlock on the
  // mutex. The map is checked again before the new bridge goes in.
  std::vector<std::shared_ptr<LoopBridge>> others;
  {
    std::lock_guard<std::mutex> lock(bridges.mutex);
    auto it = bridges.map.find(key);
    if (it != bridges.map.end() && it->second->serves(loop.get())) return it->second;
    for (auto& [k, b] : bridges.map) others.push_back(b);
  }
  // Only bridges of loops that are gone or say they are closed go: a loop
  // that cannot answer may still be watching its doorbell.
  std::vector<std::shared_ptr<LoopBridge>> closed;
  for (auto& b : others) {
    PyRef other = PyRef::steal(b->loop());
    if (!other || loop_says_closed(other.get())) closed.push_back(b);
  }
  others.clear();

  if (!kernel_future_class()) return nullptr;
  auto bridge = std::make_shared<LoopBridge>();
  if (!attach_loop(*bridge, loop.get(), key)) return nullptr;
  bridge->loop_key = key;
  bridge->loop_thread = PyThread_get_thread_ident();
  bridge->creator_pid = getpid();
  bridge->queue->process = current_process_id();
  PyObject* handle = new_drain_handle(bridge);
  if (!handle) return nullptr;
  std::optional<Doorbell> bell = pipe_doorbell(loop.get(), handle);
  if (!bell) {
    // Looked up again at each ring; read once here so a loop without it
    // fails the submission instead of losing its completions later.
    PyObject* cst = PyObject_GetAttrString(loop.get(), "call_soon_threadsafe");
    if (!cst) {
      Py_DECREF(handle);
      return nullptr;
    }
    Py_DECREF(cst);
    bell.emplace(ThreadsafeBell{});
  }
  if (bell->pipe()) {
    Py_DECREF(handle);  // the loop's reader registration holds it
  } else {
    if (bridge->drain) {
      Py_DECREF(handle);
      internal_fault("drain set once");
      return nullptr;
    }
    bridge->drain = AnyThreadRef::steal(handle);
  }
  if (bridge->doorbell) {
    internal_fault("doorbell set once");
    return nullptr;
  }
  bridge->doorbell.emplace(std::move(*bell));

  std::shared_ptr<LoopBridge> result;
  std::vector<std::shared_ptr<LoopBridge>> removed;
  {
    std::lock_guard<std::mutex> lock(bridges.mutex);
    for (auto& b : closed) {
      auto it = bridges.map.find(b->loop_key);
      if (it != bridges.map.end() && it->second == b) {
        removed.push_back(std::move(it->second));
        bridges.map.erase(it);
      }
    }
    auto it = bridges.map.find(key);
    if (it == bridges.map.end()) {
      result = bridges.map.emplace(key, bridge).first->second;
    } else if (it->second->serves(loop.get())) {
      result = it->second;  // another call got in first; ours is withdrawn below
      removed.push_back(std::move(bridge));
    } else {
      // The entry of a dead loop whose address this loop now has.
      removed.push_back(std::move(it->second));
      it->second = bridge;
      result = bridge;
    }
  }
  // Dropped here, unlocked: tearing a bridge down runs Python code.
  removed.clear();
  closed.clear();
  if (result == bridge) {
    // On the loop backend the new loop watches this thread's runtime from
    // the start. A driver or runtime that cannot be made now fails the
    // submission that needs it instead.
    std::shared_ptr<Driver> d = driver();
    if (!d || (d->local() && !watch_loop_runtime(result))) PyErr_Clear();
  }
  return result;
}

LocalCompletions::LocalCompletions(LoopBridge* bridge) noexcept : previous_(t_local_bridge) {
  t_local_bridge = bridge;
}

LocalCompletions::~LocalCompletions() { t_local_bridge = previous_; }

std::size_t LoopBridge::settle_queued(Split* split) {
  std::vector<Completion> batch;
  std::size_t n = 0;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(queue->mutex);
      batch.swap(queue->items);
    }
    if (batch.empty()) return n;
    n += batch.size();
    for (std::size_t i = 0; i < batch.size(); ++i) {
      if (split && i > 0 && i % split->every == 0) {
        split->midway(*this);
        split->done = true;
      }
      settle(std::move(batch[i]));
    }
    batch.clear();
  }
}

void LoopBridge::complete(Completion c) {
  {
    std::lock_guard<std::mutex> lock(queue->mutex);
    queue->items.push_back(std::move(c));
  }
  if (t_local_bridge == this) return;  // settled by this thread when its drive ends
  if (drain_scheduled.exchange(true, std::memory_order_seq_cst)) return;
  if (!DOORBELLS_ENABLED.load(std::memory_order_acquire)) return;
  if (const PipeBell* p = doorbell->pipe()) {
    ssize_t r;
    do {
      r = ::write(p->write_fd, &kRing, 1);
    } while (r < 0 && errno == EINTR);
    return;  // any other failure: the byte is only a wake-up
  }
  PyGILState_STATE st = PyGILState_Ensure();
  PyRef r;
  if (PyRef l = PyRef::steal(loop())) {
    r = PyRef::steal(PyObject_CallMethod(l.get(), "call_soon_threadsafe", "O", drain.get()));
  }
  if (!r) {
    // The loop will never drain (closed or gone): drop what waits for it and
    // forget the bridge.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    std::vector<Completion> dropped;
    {
      std::lock_guard<std::mutex> lock(queue->mutex);
      dropped.swap(queue->items);
    }
    dropped.clear();
    drain_scheduled.store(false, std::memory_order_seq_cst);
    std::shared_ptr<LoopBridge> self;
    {
      Globals::Bridges& bridges = globals().bridges;
      std::lock_guard<std::mutex> lock(bridges.mutex);
      auto it = bridges.map.find(loop_key);
      if (it != bridges.map.end() && it->second.get() == this) {
        self = std::move(it->second);
        bridges.map.erase(it);
      }
    }
    self.reset();  // may be the last reference: `this` must not be used after
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
  }
  r = PyRef();
  PyGILState_Release(st);
}

void LoopBridge::run_drain() {
  if (!doorbell) {
    internal_fault("doorbell set at construction");
    PyErr_WriteUnraisable(nullptr);
    return;
  }
  // A forked child running its copy of the parent's loop: the doorbell's
  // byte is the parent's wake-up (both ends of the pipe are shared), and
  // the queue's lock may be held for ever. Reading the byte here would leave
  // the parent's drain flag set with nothing to wake it, so every later
  // completion of the parent would wait. The futures copied into the child
  // settle when cancelled there.
  if (queue->process != current_process_id()) return;
  if (const PipeBell* p = doorbell->pipe()) {
    char buf[64];
    for (;;) {
      ssize_t r = ::read(p->read_fd, buf, sizeof buf);
      if (r > 0) continue;
      if (r < 0 && errno == EINTR) continue;
      break;
    }
  }
  std::vector<Completion> batch;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(queue->mutex);
      batch.swap(queue->items);
    }
    if (batch.empty()) {
      drain_scheduled.store(false, std::memory_order_release);
      {
        std::lock_guard<std::mutex> lock(queue->mutex);
        if (queue->items.empty()) return;
      }
      // A completion slipped in; whoever flips the flag first owns the drain.
      if (drain_scheduled.exchange(true, std::memory_order_seq_cst)) return;
      continue;
    }
    for (Completion& c : batch) settle(std::move(c));
    batch.clear();
  }
}

}  // namespace kestrelio::py
