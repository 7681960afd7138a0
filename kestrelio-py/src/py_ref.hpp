#pragma once

#include <Python.h>

#include <initializer_list>
#include <utility>

namespace kestrelio::py {

// An owned (strong) Python reference. Must only be created, copied or
// destroyed with the interpreter lock held; a reference that may die on a
// backend thread goes through release_anywhere() instead.
class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (may be null).
  static PyRef steal(PyObject* o) noexcept { return PyRef(o); }
  // Adds a reference to a borrowed one.
  static PyRef borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return PyRef(o);
  }
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    PyRef tmp(std::move(o));
    std::swap(p_, tmp.p_);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  // A new reference for the caller; this one is kept.
  PyObject* new_ref() const noexcept {
    Py_XINCREF(p_);
    return p_;
  }

 private:
  explicit PyRef(PyObject* o) noexcept : p_(o) {}
  PyObject* p_ = nullptr;
};

// A tuple of new references, which it takes over; null (with the error set)
// if any item is null or the tuple cannot be made, the items released. Per
// completion this costs less than Py_BuildValue's format parsing.
inline PyObject* tuple_of(std::initializer_list<PyObject*> items) noexcept {
  bool ok = true;
  for (PyObject* o : items) ok = ok && o != nullptr;
  PyObject* t = ok ? PyTuple_New(static_cast<Py_ssize_t>(items.size())) : nullptr;
  Py_ssize_t i = 0;
  for (PyObject* o : items) {
    if (t) {
      PyTuple_SET_ITEM(t, i++, o);
    } else {
      Py_XDECREF(o);
    }
  }
  return t;
}

}  // namespace kestrelio::py
