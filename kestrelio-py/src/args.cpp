#include "args.hpp"

#include <cstring>

#include "py_ref.hpp"

namespace kestrelio::py {

namespace {

Py_ssize_t find_name(const Signature& sig, PyObject* key) {
  for (std::size_t i = 0; i < sig.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) return static_cast<Py_ssize_t>(i);
  }
  return -1;
}

#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr char kNativeOrderMark = '<';
#else
constexpr char kNativeOrderMark = '>';
#endif

bool is_numpy_bool(PyObject* o) {
  PyTypeObject* t = Py_TYPE(o);
  const char* name = t->tp_name;  // "numpy.bool_" or "numpy.bool"
  return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

}  // namespace

bool bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  for (std::size_t i = 0; i < sig.count; ++i) out[i] = nullptr;
  if (static_cast<std::size_t>(nargs) > sig.count) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd were given", sig.function, sig.count,
                 nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t i = find_name(sig, key);
    if (i < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function, key);
      return false;
    }
    if (out[i]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.function, sig.names[i]);
      return false;
    }
    out[i] = args[nargs + k];
  }
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (!out[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", sig.function, sig.names[i],
                   i + 1);
      return false;
    }
  }
  return true;
}

bool prefix_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  PyRef t = PyRef::steal(type), v = PyRef::steal(value), trace = PyRef::steal(tb);
  PyRef text = PyRef::steal(v ? PyObject_Str(v.get()) : nullptr);
  if (!text) return false;
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return false;
  PyRef wrapped = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!wrapped) return false;
  // The original's cause is carried over to the new error.
  if (PyObject* cause = PyException_GetCause(v.get())) PyException_SetCause(wrapped.get(), cause);  // steals
  PyErr_SetObject(PyExc_TypeError, wrapped.get());
  return false;
}

bool to_u64(PyObject* o, const char* name, std::uint64_t* out) {
  PyRef index;
  if (!PyLong_Check(o)) {
    index = PyRef::steal(PyNumber_Index(o));
    if (!index) return prefix_type_error(name);
    o = index.get();
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(o);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return prefix_type_error(name);
  *out = v;
  return true;
}

bool to_i32(PyObject* o, const char* name, std::int32_t* out) {
  PyRef index;
  if (!PyLong_Check(o)) {
    index = PyRef::steal(PyNumber_Index(o));
    if (!index) return prefix_type_error(name);
    o = index.get();
  }
  long long v = PyLong_AsLongLong(o);
  if (v == -1 && PyErr_Occurred()) return prefix_type_error(name);
  if (v < INT32_MIN || v > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  *out = static_cast<std::int32_t>(v);
  return true;
}

bool to_flag(PyObject* o, const char* name, bool* out) {
  if (PyBool_Check(o)) {
    *out = o == Py_True;
    return true;
  }
  if (is_numpy_bool(o)) {
    int t = PyObject_IsTrue(o);
    if (t < 0) return prefix_type_error(name);
    *out = t != 0;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyBool'", Py_TYPE(o)->tp_name);
  return prefix_type_error(name);
}

bool to_path(PyObject* o, const char* name, std::string* out) {
  PyRef fs = PyRef::steal(PyOS_FSPath(o));
  if (!fs) return prefix_type_error(name);
  PyRef encoded;
  PyObject* bytes = fs.get();
  if (PyUnicode_Check(bytes)) {
    encoded = PyRef::steal(PyUnicode_EncodeFSDefault(bytes));
    if (!encoded) return prefix_type_error(name);
    bytes = encoded.get();
  }
  char* data;
  Py_ssize_t len;
  if (PyBytes_AsStringAndSize(bytes, &data, &len) < 0) return prefix_type_error(name);
  out->assign(data, static_cast<std::size_t>(len));
  return true;
}

bool check_byte_view(const Py_buffer& view) {
  if (!view.shape) {
    PyErr_SetString(PyExc_BufferError, "shape is null");
    return false;
  }
  if (!view.strides) {
    PyErr_SetString(PyExc_BufferError, "strides is null");
    return false;
  }
  const char* f = view.format;
  bool bytes_format = false;
  if (!f) {
    bytes_format = true;
  } else {
    // One optional byte-order mark of the native order, then B or c.
    if (*f == '@' || *f == '=' || *f == kNativeOrderMark) ++f;
    bytes_format = (f[0] == 'B' || f[0] == 'c') && f[1] == '\0';
  }
  if (view.itemsize != 1 || !bytes_format) {
    PyErr_SetString(PyExc_BufferError, "buffer contents are not compatible with u8");
    return false;
  }
  return true;
}

}  // namespace kestrelio::py
