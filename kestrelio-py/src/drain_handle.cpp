#include "drain_handle.hpp"

#include <new>

#include "bridge.hpp"
#include "completion.hpp"
#include "globals.hpp"
#include "loop_drive.hpp"
#include "pending_release.hpp"

namespace kestrelio::py {

namespace {

struct DrainHandleObject {
  PyObject_HEAD
  std::weak_ptr<LoopBridge> bridge;
  std::shared_ptr<CompletionQueue> queue;  // the bridge's, for the collector
  HandleRole role;
};

DrainHandleObject* as_handle(PyObject* self) { return reinterpret_cast<DrainHandleObject*>(self); }

PyObject* drain_handle_new(PyTypeObject* type, PyObject*, PyObject*) {
  (void)type;
  PyErr_SetString(PyExc_TypeError, "No constructor defined for DrainHandle");
  return nullptr;
}

// Visits what the queued completions hold. Their futures hold the loop, and
// the loop holds this handle through its reader registration: without this,
// a dropped loop with a completion queued would never be collected. The
// queue only gains references that were invisible before (moved in from an
// operation's callback) while the collector may run, which it tolerates.
// In a forked child the parent's queue is left alone (see CompletionQueue):
// a reference not shown only keeps objects alive, and the collector runs with
// the interpreter lock held, so waiting there would stop the whole child.
int drain_handle_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  CompletionQueue* q = as_handle(self)->queue.get();
  if (q && q->process == current_process_id()) {
    std::lock_guard<std::mutex> lock(q->mutex);
    for (Completion& c : q->items) {
      Py_VISIT(c.future.get());
      Py_VISIT(c.kind.payload.get());
    }
  }
  return 0;
}

// The loop is garbage: nobody will drain, so the queued futures are dropped
// unsettled, as when a closed loop's bridge goes.
int drain_handle_clear(PyObject* self) {
  CompletionQueue* q = as_handle(self)->queue.get();
  if (q && q->process == current_process_id()) {
    std::vector<Completion> dropped;
    {
      std::lock_guard<std::mutex> lock(q->mutex);
      dropped.swap(q->items);
    }
  }
  return 0;
}

void drain_handle_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  as_handle(self)->bridge.~weak_ptr();
  as_handle(self)->queue.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own their type
}

PyObject* drain_handle_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  apply_pending_releases();
  if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "DrainHandle.__call__() takes no arguments");
    return nullptr;
  }
  std::shared_ptr<LoopBridge> bridge = as_handle(self)->bridge.lock();
  switch (as_handle(self)->role) {
    case HandleRole::Drain:
      if (bridge) bridge->run_drain();
      break;
    case HandleRole::Flush:
      drive_loop_runtime(bridge, loop_ring::DriveCause::Flush);
      break;
    case HandleRole::Completions:
      drive_loop_runtime(bridge, loop_ring::DriveCause::Completions);
      break;
    case HandleRole::Wake:
      drive_loop_runtime(bridge, loop_ring::DriveCause::Wake);
      break;
  }
  if (raise_kept_interrupt()) return nullptr;
  Py_RETURN_NONE;
}

PyType_Slot drain_handle_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(drain_handle_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(drain_handle_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(drain_handle_call)},
    {Py_tp_traverse, reinterpret_cast<void*>(drain_handle_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(drain_handle_clear)},
    {0, nullptr},
};

PyType_Spec drain_handle_spec = {
    "_kestrelio.DrainHandle",
    sizeof(DrainHandleObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
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
  return new_drain_handle(bridge, HandleRole::Drain);
}

PyObject* new_drain_handle(const std::shared_ptr<LoopBridge>& bridge, HandleRole role) {
  PyTypeObject* type = drain_handle_type();
  if (!type) return nullptr;
  allocfunc alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  if (!alloc) alloc = PyType_GenericAlloc;
  PyObject* self = alloc(type, 0);
  if (!self) return nullptr;
  new (&as_handle(self)->bridge) std::weak_ptr<LoopBridge>(bridge);
  // Only one handle per bridge may show the queue to the collector: each
  // visit stands for a reference, and the queue holds one per future.
  new (&as_handle(self)->queue)
      std::shared_ptr<CompletionQueue>(role == HandleRole::Drain ? bridge->queue : nullptr);
  as_handle(self)->role = role;
  return self;
}

}  // namespace kestrelio::py
