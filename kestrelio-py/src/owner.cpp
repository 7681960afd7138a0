#include "owner.hpp"

#include "args.hpp"

namespace kestrelio::py {

void Owner::reset() noexcept {
  if (!view_) return;
  if (PyGILState_Check()) {
    PyBuffer_Release(view_.get());
  } else {
    PyGILState_STATE st = PyGILState_Ensure();
    PyBuffer_Release(view_.get());
    PyGILState_Release(st);
  }
  view_.reset();
}

bool byte_view(PyObject* o, Owner* out) {
  auto view = std::make_unique<Py_buffer>();
  if (PyObject_GetBuffer(o, view.get(), PyBUF_FULL_RO) < 0) return false;
  Owner held = Owner::adopt(std::move(view));
  if (!check_byte_view(*held.view())) return false;  // `held` releases the view
  *out = std::move(held);
  return true;
}

}  // namespace kestrelio::py
