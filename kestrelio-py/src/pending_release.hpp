#pragma once

#include <Python.h>

namespace kestrelio::py {

// Drops a strong reference from any thread. With the interpreter lock held it
// is released at once; otherwise it goes onto a process-wide list that the
// next entry point from Python applies, so no reference count is touched
// without the lock.
void release_anywhere(PyObject* o) noexcept;

// Applies the deferred releases. Interpreter lock held; cheap when the list
// is empty (one atomic load). Every entry point from Python calls it first.
void apply_pending_releases() noexcept;

// Owned reference whose destruction may happen on any thread.
class AnyThreadRef {
 public:
  AnyThreadRef() = default;
  static AnyThreadRef steal(PyObject* o) noexcept { return AnyThreadRef(o); }
  AnyThreadRef(AnyThreadRef&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  AnyThreadRef& operator=(AnyThreadRef&& o) noexcept {
    if (this != &o) {
      reset();
      p_ = o.p_;
      o.p_ = nullptr;
    }
    return *this;
  }
  AnyThreadRef(const AnyThreadRef&) = delete;
  AnyThreadRef& operator=(const AnyThreadRef&) = delete;
  ~AnyThreadRef() { reset(); }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  PyObject* release() noexcept {
    PyObject* o = p_;
    p_ = nullptr;
    return o;
  }
  void reset() noexcept {
    if (p_) release_anywhere(release());
  }

 private:
  explicit AnyThreadRef(PyObject* o) noexcept : p_(o) {}
  PyObject* p_ = nullptr;
};

}  // namespace kestrelio::py
