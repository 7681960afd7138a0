#include "bridge.hpp"
#include "functions.hpp"
#include "py_ref.hpp"
#include "submit.hpp"

namespace kestrelio::py {

PyObject* py_probe_ffi(PyObject*, PyObject*) {
  apply_pending_releases();
  return PyLong_FromLong(0);
}

PyObject* py_probe_resolved_future(PyObject*, PyObject*) {
  apply_pending_releases();
  std::shared_ptr<LoopBridge> bridge = bridge_for_running_loop();
  if (!bridge) return nullptr;
  PyRef loop = PyRef::steal(bridge->loop());
  if (!loop) {
    PyErr_SetString(PyExc_RuntimeError, "the event loop of this kestrelio bridge is gone");
    return nullptr;
  }
  PyRef future = PyRef::steal(PyObject_CallMethod(loop.get(), "create_future", nullptr));
  if (!future) return nullptr;
  PyRef r = PyRef::steal(PyObject_CallMethod(future.get(), "set_result", "O", Py_None));
  if (!r) return nullptr;
  return future.release();
}

PyObject* py_probe_nop(PyObject*, PyObject*) {
  apply_pending_releases();
  return submit(op::Nop{}, CompletionKind::plain(), std::nullopt);
}

}  // namespace kestrelio::py
