#include <cstdint>
#include <vector>

#include "args.hpp"
#include "functions.hpp"
#include "globals.hpp"
#include "pending_release.hpp"
#include "py_ref.hpp"

namespace kestrelio::py {

namespace {

constexpr const char* kCancelNames[] = {"ops"};

// All ids or none: a bad element stops the call before anything is sent.
bool collect_ids(PyObject* ops, std::vector<OpId>* ids) {
  if (PyUnicode_Check(ops)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return prefix_type_error("ops");
  }
  if (!PySequence_Check(ops)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Sequence'", Py_TYPE(ops)->tp_name);
    return prefix_type_error("ops");
  }
  Py_ssize_t hint = PySequence_Size(ops);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    ids->reserve(static_cast<std::size_t>(hint));
  }
  PyRef it = PyRef::steal(PyObject_GetIter(ops));
  if (!it) return prefix_type_error("ops");
  while (PyObject* item = PyIter_Next(it.get())) {
    PyRef held = PyRef::steal(item);
    std::uint64_t id;
    if (!to_u64(item, "ops", &id)) return false;
    ids->push_back(id);
  }
  if (PyErr_Occurred()) return prefix_type_error("ops");
  return true;
}

}  // namespace

PyObject* py_cancel_ops(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  apply_pending_releases();
  static const Signature sig{"cancel_ops", kCancelNames, 1, 1};
  PyObject* a[1];
  if (!bind_args(sig, args, nargs, kwnames, a)) return nullptr;
  std::vector<OpId> ids;
  if (!collect_ids(a[0], &ids)) return nullptr;
  std::shared_ptr<Driver> d = driver();
  if (!d) return nullptr;
  for (OpId id : ids) d->cancel(id);
  Py_RETURN_NONE;
}

}  // namespace kestrelio::py
