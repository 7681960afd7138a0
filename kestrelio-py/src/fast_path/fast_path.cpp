#include "fast_path/fast_path.hpp"

namespace kestrelio::py {

// Placeholder until the class lands: an empty type of the right name.
PyTypeObject* fast_path_type() {
  static PyObject* type = nullptr;
  if (!type) {
    static PyType_Slot slots[] = {{Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)}, {0, nullptr}};
    static PyType_Spec spec = {"_kestrelio.FastPath", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, slots};
    type = PyType_FromSpec(&spec);
  }
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace kestrelio::py
