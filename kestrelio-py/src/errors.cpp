#include "errors.hpp"

#include <string>

#include "py_ref.hpp"

namespace kestrelio::py {

PyObject* io_err_to_pyerr(IoError err) {
  std::string text = err.to_string();
  PyRef message = PyRef::steal(PyUnicode_DecodeLocaleAndSize(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape"));
  if (!message) return nullptr;
  if (err.is_os()) {
    PyRef number = PyRef::steal(PyLong_FromLong(err.raw_os_error()));
    if (!number) return nullptr;
    return PyObject_CallFunctionObjArgs(PyExc_OSError, number.get(), message.get(), nullptr);
  }
  return PyObject_CallOneArg(PyExc_OSError, message.get());
}

PyObject* raise_io_error(IoError err) {
  PyObject* exc = io_err_to_pyerr(err);
  if (exc) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    Py_DECREF(exc);
  }
  return nullptr;
}

PyObject* internal_fault(const char* what) {
  PyErr_Format(PyExc_SystemError, "kestrelio internal fault: %s", what);
  return nullptr;
}

}  // namespace kestrelio::py
