#include "submit.hpp"

#include <memory>
#include <utility>

#include "bridge.hpp"
#include "globals.hpp"
#include "loop_drive.hpp"
#include "py_ref.hpp"

namespace kestrelio::py {

PyObject* op_ids_name() {
  static PyObject* s = nullptr;
  if (!s) s = PyUnicode_InternFromString("op_ids");
  return s;
}

PyObject* submit(Op op, CompletionKind kind, std::optional<Owner> owner) {
  std::shared_ptr<Driver> d = driver();
  if (!d) return nullptr;
  std::shared_ptr<LoopBridge> bridge = bridge_for_running_loop();
  if (!bridge) return nullptr;
  if (d->local() && !watch_loop_runtime(bridge)) return nullptr;
  PyRef future = PyRef::steal(bridge->new_future());
  if (!future) return nullptr;

  ReplyFn reply = [kind = std::move(kind), bridge, fut = AnyThreadRef::steal(future.new_ref()),
                   owner = std::move(owner)](OpResult result) mutable {
    std::shared_ptr<LoopBridge> b = std::move(bridge);
    b->complete(Completion{std::move(kind), std::move(result), std::move(fut), std::move(owner)});
  };
  OpId id = d->submit(std::move(op), std::move(reply));

  PyRef ids = PyRef::steal(Py_BuildValue("(K)", static_cast<unsigned long long>(id)));
  if (d->local()) schedule_flush(*bridge);
  if (!ids || PyObject_SetAttr(future.get(), op_ids_name(), ids.get()) < 0) return nullptr;
  return future.release();
}

bool write_payload(PyObject* data, Payload* payload, Owner* owner) {
  Owner held;
  if (!byte_view(data, &held)) return false;
  if (!PyBuffer_IsContiguous(held.view(), 'C')) {
    PyErr_SetString(PyExc_ValueError, "buffer must be C-contiguous");
    return false;
  }
  *payload = Payload::raw(static_cast<const std::uint8_t*>(held.view()->buf),
                          static_cast<std::size_t>(held.view()->len));
  *owner = std::move(held);
  return true;
}

}  // namespace kestrelio::py
