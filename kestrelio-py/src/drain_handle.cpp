#include "drain_handle.hpp"

#include <new>

#include "bridge.hpp"
#include "pending_release.hpp"

namespace kestrelio::py {

namespace {

struct DrainHandleObject {
  PyObject_HEAD
  std::weak_ptr<LoopBridge> bridge;
};

PyObject* drain_handle_new(PyTypeObject* type, PyObject*, PyObject*) {
  (void)type;
  PyErr_SetString(PyExc_TypeError, "No constructor defined for DrainHandle");
  return nullptr;
}

void drain_handle_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<DrainHandleObject*>(self)->bridge.~weak_ptr();
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own their type
}

PyObject* drain_handle_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  apply_pending_releases();
  if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "DrainHandle.__call__() takes no arguments");
    return nullptr;
  }
  if (std::shared_ptr<LoopBridge> bridge = reinterpret_cast<DrainHandleObject*>(self)->bridge.lock()) {
    bridge->run_drain();
  }
  Py_RETURN_NONE;
}

PyType_Slot drain_handle_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(drain_handle_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(drain_handle_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(drain_handle_call)},
    {0, nullptr},
};

PyType_Spec drain_handle_spec = {
    "_kestrelio.DrainHandle",
    sizeof(DrainHandleObject),
    0,
    Py_TPFLAGS_DEFAULT,
    drain_handle_slots,
};

// Created once and kept for the life of the process.
PyTypeObject* drain_handle_type() {
  static PyObject* type = nullptr;
  if (!type) type = PyType_FromSpec(&drain_handle_spec);
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

PyObject* new_drain_handle(const std::shared_ptr<LoopBridge>& bridge) {
  PyTypeObject* type = drain_handle_type();
  if (!type) return nullptr;
  allocfunc alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  if (!alloc) alloc = PyType_GenericAlloc;
  PyObject* self = alloc(type, 0);
  if (!self) return nullptr;
  new (&reinterpret_cast<DrainHandleObject*>(self)->bridge) std::weak_ptr<LoopBridge>(bridge);
  return self;
}

}  // namespace kestrelio::py
