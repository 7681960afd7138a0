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

bool Submission::begin() {
  driver = py::driver();
  if (!driver) return false;
  bridge = bridge_for_running_loop();
  if (!bridge) return false;
  if (driver->local() && !watch_loop_runtime(bridge)) return false;
  future = PyRef::steal(bridge->new_future());
  return static_cast<bool>(future);
}

void Submission::submitted() {
  if (driver->local()) schedule_flush(*bridge);
}

PyObject* submit(Op op, CompletionKind kind, std::optional<Owner> owner) {
  Submission s;
  if (!s.begin()) return nullptr;

  ReplyFn reply = [kind = std::move(kind), bridge = s.bridge, fut = AnyThreadRef::steal(s.future.new_ref()),
                   owner = std::move(owner)](OpResult result) mutable {
    std::shared_ptr<LoopBridge> b = std::move(bridge);
    b->complete(Completion{std::move(kind), std::move(result), std::move(fut), std::move(owner)});
  };
  OpId id = s.driver->submit(std::move(op), std::move(reply));
  s.submitted();

  PyRef ids = PyRef::steal(tuple_of({PyLong_FromUnsignedLongLong(id)}));
  if (!ids || PyObject_SetAttr(s.future.get(), op_ids_name(), ids.get()) < 0) return nullptr;
  return s.future.release();
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
