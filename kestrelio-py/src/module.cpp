#include <Python.h>

#include <cstdint>

#include "fast_path/fast_path.hpp"
#include "functions.hpp"
#include "globals.hpp"
#include "line_iter.hpp"
#include "os_ops.hpp"
#include "pending_release.hpp"

namespace kestrelio::py {

namespace {

#define KESTRELIO_FAST(name, fn, doc) \
  { name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_FASTCALL | METH_KEYWORDS, doc }
#define KESTRELIO_NOARGS(name, fn, doc) \
  { name, fn, METH_NOARGS, doc }

// Each doc is the signature line, "--" and an empty line, so Python gets a
// text signature; the five documented functions carry their text after it.
PyMethodDef kBeforeFastPath[] = {
    KESTRELIO_FAST("open", py_open, "open(path, read, write, append, truncate, create, create_new)\n--\n\n"),
    KESTRELIO_FAST("read", py_read, "read(handle, pos, len)\n--\n\n"),
};

PyMethodDef kAfterFastPath[] = {
    KESTRELIO_FAST("read_parallel", py_read_parallel, "read_parallel(handle, pos, len, chunk)\n--\n\n"),
    KESTRELIO_FAST("read_to_end", py_read_to_end, "read_to_end(handle, pos)\n--\n\n"),
    KESTRELIO_FAST("readinto", py_readinto, "readinto(handle, pos, buffer)\n--\n\n"),
    KESTRELIO_FAST("write", py_write, "write(handle, pos, data, append)\n--\n\n"),
    KESTRELIO_FAST("close", py_close, "close(handle)\n--\n\n"),
    KESTRELIO_FAST("sync", py_sync, "sync(handle, data_only)\n--\n\n"),
    KESTRELIO_FAST("set_len", py_set_len, "set_len(handle, size)\n--\n\n"),
    KESTRELIO_FAST("size", py_size, "size(handle)\n--\n\n"),
    KESTRELIO_FAST("read_file", py_read_file,
                   "read_file(path, inline_max, on_handle=None)\n--\n\n"
                   "Whole file as `bytes` in one submission when it is at most `inline_max`\n"
                   "bytes. A larger file resolves to an open `(handle, size, fd)` instead, for\n"
                   "the caller to fill with `read_parallel` and close; with `on_handle` given,\n"
                   "the drain calls `on_handle(fut, handle, fd)` for it and that callable\n"
                   "settles the future once the file is read."),
    KESTRELIO_FAST("write_file", py_write_file, "write_file(path, data)\n--\n\n"),
    KESTRELIO_FAST("cancel_ops", py_cancel_ops,
                   "cancel_ops(ops)\n--\n\n"
                   "Best-effort abort of the kernel ops behind one future; ops the kernel\n"
                   "already completed deliver their result instead."),
    KESTRELIO_NOARGS("probe_ffi", py_probe_ffi,
                     "probe_ffi()\n--\n\n"
                     "Calibration probe: extension entry and return, nothing else. Establishes the\n"
                     "FFI floor for the latency ladder."),
    KESTRELIO_NOARGS("probe_resolved_future", py_probe_resolved_future,
                     "probe_resolved_future()\n--\n\n"
                     "Calibration probe: an asyncio future created and resolved on the calling\n"
                     "thread, never touching the driver. Isolates future machinery from the\n"
                     "completion bridge."),
    KESTRELIO_NOARGS("probe_nop", py_probe_nop,
                     "probe_nop()\n--\n\n"
                     "Calibration probe: a full submit -> driver thread -> doorbell -> drain\n"
                     "round trip that performs no kernel work. Measured against\n"
                     "`probe_resolved_future` this is the bridge's own per-op cost."),
    KESTRELIO_NOARGS("backend_name", py_backend_name, "backend_name()\n--\n\n"),
    KESTRELIO_NOARGS("shutdown", py_shutdown, "shutdown()\n--\n\n"),
    {"set_default_backend", py_set_default_backend, METH_O,
     "set_default_backend(value, /)\n--\n\n"
     "Chooses the backend this process's driver runs when KESTRELIO_BACKEND is\n"
     "unset: any value KESTRELIO_BACKEND accepts, or \"auto\" for the fastest this\n"
     "machine runs. Only the driver made next is affected: returns False, changing\n"
     "nothing, once the driver exists. A forked child keeps the choice."},
    // Batches of positional reads or writes of one handle behind one future.
    KESTRELIO_FAST("read_many", py_read_many, "read_many(handle, spans)\n--\n\n"),
    KESTRELIO_FAST("write_many", py_write_many, "write_many(handle, pairs)\n--\n\n"),
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "_kestrelio", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The one interpreter this module may live in, and its module object, kept
// for the life of the process.
std::int64_t g_interpreter = -1;
PyObject* g_module = nullptr;

bool add_functions(PyObject* m, PyObject* module_name, PyMethodDef* defs, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* f = PyCFunction_NewEx(&defs[i], m, module_name);
    if (!f) return false;
    if (PyModule_AddObject(m, defs[i].ml_name, f) < 0) {
      Py_DECREF(f);
      return false;
    }
  }
  return true;
}

PyObject* init_module() {
  apply_pending_releases();
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (g_interpreter != -1 && g_interpreter != id) {
    PyErr_SetString(PyExc_ImportError, "_kestrelio can only be loaded in one interpreter per process");
    return nullptr;
  }
  if (g_module) return Py_NewRef(g_module);
  PyObject* m = PyModule_Create2(&kModuleDef, PYTHON_API_VERSION);
  if (!m) return nullptr;
  PyObject* name = PyModule_GetNameObject(m);
  bool ok = name && add_functions(m, name, kBeforeFastPath, std::size(kBeforeFastPath));
  if (ok) {
    PyTypeObject* fp = fast_path_type();
    ok = fp && PyModule_AddObjectRef(m, "FastPath", reinterpret_cast<PyObject*>(fp)) == 0;
  }
  ok = ok && add_functions(m, name, kAfterFastPath, std::size(kAfterFastPath));
  ok = ok && add_functions(m, name, kOsOps, kOsOpsCount);
  if (ok) {
    PyTypeObject* li = line_iter_type();
    ok = li && PyModule_AddObjectRef(m, "LineIter", reinterpret_cast<PyObject*>(li)) == 0;
  }
  Py_XDECREF(name);
  if (!ok) {
    Py_DECREF(m);
    return nullptr;
  }
  g_interpreter = id;
  g_module = Py_NewRef(m);
  return m;
}

}  // namespace

}  // namespace kestrelio::py

PyMODINIT_FUNC PyInit__kestrelio(void) { return kestrelio::py::init_module(); }
