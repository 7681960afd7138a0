#include "line_iter.hpp"

#include <Python.h>
#include <structmember.h>

#include <cstring>

namespace kestrelio::py {

namespace {

// The state of `async for line in f`: the buffered text (`str` or `bytes`)
// and where the next line starts. A step that finds a whole line there hands
// it back at once, through this object as an awaitable that is already done;
// any other step calls `slow()` and returns its coroutine, which refills,
// takes the file's turn or ends the iteration.
struct LineIter {
  PyObject_HEAD
  PyObject* data;   // str or bytes
  Py_ssize_t index;
  PyObject* slow;   // callable returning the awaitable of the next line
  PyObject* ready;  // the line of the step in progress, until it is awaited
  int hold;         // nonzero: every step goes to slow()
  Py_ssize_t left;  // fast steps before the next call of slow()
};

LineIter* as_iter(PyObject* self) { return reinterpret_cast<LineIter*>(self); }

// The next '\n'-terminated line of `data` from `index`, or null (no error set)
// when the buffer holds no whole line.
PyObject* take_line(LineIter* it) {
  PyObject* data = it->data;
  Py_ssize_t start = it->index;
  if (PyBytes_CheckExact(data)) {
    Py_ssize_t len = PyBytes_GET_SIZE(data);
    if (start < 0 || start >= len) return nullptr;
    const char* base = PyBytes_AS_STRING(data);
    const void* nl = std::memchr(base + start, '\n', static_cast<std::size_t>(len - start));
    if (!nl) return nullptr;
    Py_ssize_t end = static_cast<const char*>(nl) - base + 1;
    PyObject* line = PyBytes_FromStringAndSize(base + start, end - start);
    if (line) it->index = end;
    return line;
  }
  if (PyUnicode_CheckExact(data)) {
    Py_ssize_t len = PyUnicode_GET_LENGTH(data);
    if (start < 0 || start >= len) return nullptr;
    Py_ssize_t nl = PyUnicode_FindChar(data, '\n', start, len, 1);
    if (nl < 0) {
      if (nl == -2) PyErr_Clear();
      return nullptr;
    }
    PyObject* line = PyUnicode_Substring(data, start, nl + 1);
    if (line) it->index = nl + 1;
    return line;
  }
  return nullptr;
}

PyObject* line_iter_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  static const char* kwlist[] = {"slow", nullptr};
  PyObject* slow = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:LineIter", const_cast<char**>(kwlist), &slow)) return nullptr;
  if (!PyCallable_Check(slow)) {
    PyErr_Format(PyExc_TypeError, "argument 'slow': '%.200s' object is not callable", Py_TYPE(slow)->tp_name);
    return nullptr;
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  LineIter* it = as_iter(self);
  it->data = PyBytes_FromStringAndSize(nullptr, 0);
  if (!it->data) {
    Py_DECREF(self);
    return nullptr;
  }
  it->slow = Py_NewRef(slow);
  return self;
}

int line_iter_traverse(PyObject* self, visitproc visit, void* arg) {
  LineIter* it = as_iter(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(it->slow);
  return 0;
}

int line_iter_clear(PyObject* self) {
  LineIter* it = as_iter(self);
  Py_CLEAR(it->slow);
  Py_CLEAR(it->ready);
  Py_CLEAR(it->data);
  return 0;
}

void line_iter_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  line_iter_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* line_iter_self(PyObject* self) { return Py_NewRef(self); }

PyObject* call_slow(LineIter* it) {
  if (!it->slow) {
    PyErr_SetString(PyExc_ValueError, "line iterator was cleared");
    return nullptr;
  }
  return PyObject_CallNoArgs(it->slow);
}

PyObject* line_iter_anext(PyObject* self) {
  LineIter* it = as_iter(self);
  if (it->ready) return Py_NewRef(self);  // the previous step was never awaited: it still holds its line
  if (!it->hold && it->left > 0) {
    PyObject* line = take_line(it);
    if (line) {
      it->left -= 1;
      it->ready = line;
      return Py_NewRef(self);
    }
    if (PyErr_Occurred()) return nullptr;
  }
  return call_slow(it);
}

PyObject* take_ready(LineIter* it) {
  PyObject* line = it->ready;
  it->ready = nullptr;
  if (!line) PyErr_SetString(PyExc_RuntimeError, "no line is waiting");
  return line;
}

// Python 3.10 and 3.11 finish an await of this object here, without an exception.
PySendResult line_iter_send(PyObject* self, PyObject* /*arg*/, PyObject** result) {
  PyObject* line = take_ready(as_iter(self));
  if (!line) {
    *result = nullptr;
    return PYGEN_ERROR;
  }
  *result = line;
  return PYGEN_RETURN;
}

// Python 3.12 and later finish it here: the line travels in StopIteration.
PyObject* line_iter_next(PyObject* self) {
  PyObject* line = take_ready(as_iter(self));
  if (!line) return nullptr;
  PyErr_SetObject(PyExc_StopIteration, line);
  Py_DECREF(line);
  return nullptr;
}

PyObject* line_iter_send_method(PyObject* self, PyObject* /*arg*/) { return line_iter_next(self); }

PyObject* line_iter_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs < 1 || nargs > 3) {
    PyErr_Format(PyExc_TypeError, "throw expected 1 to 3 arguments, got %zd", nargs);
    return nullptr;
  }
  Py_CLEAR(as_iter(self)->ready);
  PyObject* typ = args[0];
  PyObject* val = nargs > 1 ? args[1] : Py_None;
  if (PyExceptionInstance_Check(typ)) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(typ)), typ);
  } else if (PyExceptionClass_Check(typ)) {
    PyErr_SetObject(typ, val);
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException");
  }
  return nullptr;
}

PyObject* line_iter_close(PyObject* self, PyObject* /*unused*/) {
  Py_CLEAR(as_iter(self)->ready);
  Py_RETURN_NONE;
}

PyObject* get_data(PyObject* self, void* /*closure*/) { return Py_NewRef(as_iter(self)->data); }

int set_data(PyObject* self, PyObject* value, void* /*closure*/) {
  if (!value || !(PyBytes_CheckExact(value) || PyUnicode_CheckExact(value))) {
    PyErr_SetString(PyExc_TypeError, "data must be str or bytes");
    return -1;
  }
  Py_SETREF(as_iter(self)->data, Py_NewRef(value));
  return 0;
}

PyGetSetDef line_iter_getset[] = {
    {"data", get_data, set_data, "The buffered text (str or bytes).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef line_iter_members[] = {
    {"index", T_PYSSIZET, offsetof(LineIter, index), 0, "Where the next line starts in data."},
    {"hold", T_INT, offsetof(LineIter, hold), 0, "Nonzero: every step calls slow()."},
    {"left", T_PYSSIZET, offsetof(LineIter, left), 0, "Fast steps before the next call of slow()."},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef line_iter_methods[] = {
    {"send", line_iter_send_method, METH_O, "send($self, value, /)\n--\n\n"},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(line_iter_throw)), METH_FASTCALL,
     "throw($self, typ, val=None, tb=None, /)\n--\n\n"},
    {"close", line_iter_close, METH_NOARGS, "close($self, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

const char line_iter_doc[] =
    "LineIter(slow)\n--\n\n"
    "Lines of a file for `async for`: a step that finds a whole '\\n'-terminated\n"
    "line in `data` from `index` returns it without suspending; any other step\n"
    "(or every step while `hold` is set, or when `left` is used up) awaits\n"
    "`slow()`.";

PyType_Slot line_iter_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(line_iter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(line_iter_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(line_iter_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(line_iter_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(line_iter_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(line_iter_next)},
    {Py_am_await, reinterpret_cast<void*>(line_iter_self)},
    {Py_am_aiter, reinterpret_cast<void*>(line_iter_self)},
    {Py_am_anext, reinterpret_cast<void*>(line_iter_anext)},
    {Py_am_send, reinterpret_cast<void*>(line_iter_send)},
    {Py_tp_methods, line_iter_methods},
    {Py_tp_members, line_iter_members},
    {Py_tp_getset, line_iter_getset},
    {Py_tp_doc, const_cast<char*>(line_iter_doc)},
    {0, nullptr},
};

PyType_Spec line_iter_spec = {
    "_kestrelio.LineIter",
    sizeof(LineIter),
    0,
#ifdef Py_TPFLAGS_IMMUTABLETYPE
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
#else
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
#endif
    line_iter_slots,
};

}  // namespace

PyTypeObject* line_iter_type() {
  static PyObject* type = nullptr;
  if (!type) type = PyType_FromSpec(&line_iter_spec);
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace kestrelio::py
