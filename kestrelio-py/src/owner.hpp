#pragma once

#include <Python.h>

#include <memory>

namespace kestrelio::py {

// A held buffer view that pins lent memory while a backend thread reads or
// writes it. The view lives in its own allocation so its address stays put
// however the Owner moves. May be released on any thread: it takes the
// interpreter lock itself when the thread lacks it.
class Owner {
 public:
  Owner() = default;
  // Takes over a view filled by PyObject_GetBuffer.
  static Owner adopt(std::unique_ptr<Py_buffer> view) noexcept {
    Owner o;
    o.view_ = std::move(view);
    return o;
  }
  Owner(Owner&&) noexcept = default;
  Owner& operator=(Owner&& o) noexcept {
    if (this != &o) {
      reset();
      view_ = std::move(o.view_);
    }
    return *this;
  }
  Owner(const Owner&) = delete;
  Owner& operator=(const Owner&) = delete;
  ~Owner() { reset(); }

  Py_buffer* view() const noexcept { return view_.get(); }
  void reset() noexcept;

 private:
  std::unique_ptr<Py_buffer> view_;
};

// Gets a PyBUF_FULL_RO view of `o` into a fresh Owner and checks that it holds
// plain bytes. False with an exception set (and nothing held) on failure.
bool byte_view(PyObject* o, Owner* out);

}  // namespace kestrelio::py
