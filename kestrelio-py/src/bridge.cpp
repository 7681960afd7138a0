#include "bridge.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "drain_handle.hpp"
#include "errors.hpp"
#include "globals.hpp"
#include "py_ref.hpp"

namespace kestrelio::py {

namespace {

constexpr std::uint8_t kRing = 0x01;

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

// True when the loop is closed or cannot say; its bridge may then go.
bool loop_gone(PyObject* loop) {
  PyRef r = PyRef::steal(PyObject_CallMethod(loop, "is_closed", nullptr));
  if (!r) {
    PyErr_Clear();
    return true;
  }
  return !PyBool_Check(r.get()) || r.get() == Py_True;
}

bool set_nonblocking_cloexec(int fd) {
  return fcntl(fd, F_SETFD, FD_CLOEXEC) == 0 && fcntl(fd, F_SETFL, O_NONBLOCK) == 0;
}

// Drops a bridge we built but will not use. Its pipe is withdrawn from the
// loop first, so the loop does not keep watching a descriptor number that is
// about to be closed and may be reused.
void discard_unused(std::shared_ptr<LoopBridge> bridge) {
  if (bridge && bridge->doorbell && bridge->doorbell->pipe()) {
    PyRef r = PyRef::steal(PyObject_CallMethod(bridge->loop.get(), "remove_reader", "i",
                                               bridge->doorbell->pipe()->read_fd));
    if (!r) PyErr_Clear();
  }
}

}  // namespace

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
    if (it != bridges.map.end()) return it->second;
    for (auto& [k, b] : bridges.map) others.push_back(b);
  }
  std::vector<std::shared_ptr<LoopBridge>> closed;
  for (auto& b : others) {
    if (loop_gone(b->loop.get())) closed.push_back(b);
  }
  others.clear();

  PyObject* cls = kernel_future_class();
  if (!cls) return nullptr;
  PyRef kwargs = PyRef::steal(PyDict_New());
  if (!kwargs || PyDict_SetItemString(kwargs.get(), "loop", loop.get()) < 0) return nullptr;
  PyRef functools = PyRef::steal(PyImport_ImportModule("functools"));
  if (!functools) return nullptr;
  PyRef partial = PyRef::steal(PyObject_GetAttrString(functools.get(), "partial"));
  if (!partial) return nullptr;
  PyRef args = PyRef::steal(PyTuple_Pack(1, cls));
  if (!args) return nullptr;
  PyRef factory = PyRef::steal(PyObject_Call(partial.get(), args.get(), kwargs.get()));
  if (!factory) return nullptr;

  auto bridge = std::make_shared<LoopBridge>();
  bridge->loop = AnyThreadRef::steal(loop.new_ref());
  bridge->future_factory = AnyThreadRef::steal(factory.release());
  bridge->loop_key = key;
  PyObject* handle = new_drain_handle(bridge);
  if (!handle) return nullptr;
  std::optional<Doorbell> bell = pipe_doorbell(loop.get(), handle);
  if (!bell) {
    PyObject* cst = PyObject_GetAttrString(loop.get(), "call_soon_threadsafe");
    if (!cst) {
      Py_DECREF(handle);
      return nullptr;
    }
    bell.emplace(ThreadsafeBell{AnyThreadRef::steal(cst)});
  }
  if (bridge->drain) {
    Py_DECREF(handle);
    internal_fault("drain set once");
    return nullptr;
  }
  bridge->drain = AnyThreadRef::steal(handle);
  if (bridge->doorbell) {
    internal_fault("doorbell set once");
    return nullptr;
  }
  bridge->doorbell.emplace(std::move(*bell));

  std::shared_ptr<LoopBridge> result;
  std::vector<std::shared_ptr<LoopBridge>> removed;
  std::shared_ptr<LoopBridge> unused;
  {
    std::lock_guard<std::mutex> lock(bridges.mutex);
    for (auto& b : closed) {
      auto it = bridges.map.find(b->loop_key);
      if (it != bridges.map.end() && it->second == b) {
        removed.push_back(std::move(it->second));
        bridges.map.erase(it);
      }
    }
    auto [it, inserted] = bridges.map.try_emplace(key, bridge);
    result = it->second;
    if (!inserted) unused = std::move(bridge);  // another call got in first
  }
  // References dropped here, unlocked: a bridge's destruction releases
  // Python objects.
  discard_unused(std::move(unused));
  return result;
}

void LoopBridge::complete(Completion c) {
  {
    std::lock_guard<std::mutex> lock(queue_mutex);
    queue.push_back(std::move(c));
  }
  if (drain_scheduled.exchange(true, std::memory_order_seq_cst)) return;
  if (!DOORBELLS_ENABLED.load(std::memory_order_acquire)) return;
  if (const PipeBell* p = doorbell->pipe()) {
    ssize_t r;
    do {
      r = ::write(p->write_fd, &kRing, 1);
    } while (r < 0 && errno == EINTR);
    return;  // any other failure: the byte is only a wake-up
  }
  const ThreadsafeBell* t = doorbell->threadsafe();
  PyGILState_STATE st = PyGILState_Ensure();
  PyRef r = PyRef::steal(PyObject_CallOneArg(t->call_soon_threadsafe.get(), drain.get()));
  if (!r) {
    // The loop will never drain (typically closed): drop what waits for it
    // and forget the bridge.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    std::vector<Completion> dropped;
    {
      std::lock_guard<std::mutex> lock(queue_mutex);
      dropped.swap(queue);
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
      std::lock_guard<std::mutex> lock(queue_mutex);
      batch.swap(queue);
    }
    if (batch.empty()) {
      drain_scheduled.store(false, std::memory_order_release);
      {
        std::lock_guard<std::mutex> lock(queue_mutex);
        if (queue.empty()) return;
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
