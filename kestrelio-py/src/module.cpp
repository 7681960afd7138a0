// Placeholder module initialisation; replaced by the real one.
#include <Python.h>

#include "fast_path/fast_path.hpp"

static PyModuleDef kestrelio_module = {PyModuleDef_HEAD_INIT, "_kestrelio", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit__kestrelio(void) {
  PyObject* m = PyModule_Create(&kestrelio_module);
  if (!m) return nullptr;
  PyTypeObject* fp = kestrelio::py::fast_path_type();
  if (!fp || PyModule_AddObjectRef(m, "FastPath", reinterpret_cast<PyObject*>(fp)) < 0) {
    Py_DECREF(m);
    return nullptr;
  }
  return m;
}
