#include "args.hpp"
#include "functions.hpp"
#include "pending_release.hpp"
#include "submit.hpp"

namespace kestrelio::py {

namespace {

constexpr const char* kReadToEndNames[] = {"handle", "pos"};
constexpr const char* kReadFileNames[] = {"path", "inline_max", "on_handle"};
constexpr const char* kWriteFileNames[] = {"path", "data"};

}  // namespace

PyObject* py_read_to_end(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  apply_pending_releases();
  static const Signature sig{"read_to_end", kReadToEndNames, 2, 2};
  PyObject* a[2];
  op::ReadToEnd r{};
  if (!bind_args(sig, args, nargs, kwnames, a) || !to_u64(a[0], "handle", &r.handle) || !to_u64(a[1], "pos", &r.pos))
    return nullptr;
  return submit(r, CompletionKind::plain(), std::nullopt);
}

PyObject* py_read_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  apply_pending_releases();
  static const Signature sig{"read_file", kReadFileNames, 3, 2};
  PyObject* a[3];
  op::ReadFile r{};
  if (!bind_args(sig, args, nargs, kwnames, a) || !to_path(a[0], "path", &r.path) ||
      !to_u64(a[1], "inline_max", &r.inline_max))
    return nullptr;
  PyObject* on_handle = (a[2] && a[2] != Py_None) ? Py_NewRef(a[2]) : nullptr;
  return submit(std::move(r), CompletionKind::handle_callback(on_handle), std::nullopt);
}

PyObject* py_write_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  apply_pending_releases();
  static const Signature sig{"write_file", kWriteFileNames, 2, 2};
  PyObject* a[2];
  op::WriteFile w{};
  if (!bind_args(sig, args, nargs, kwnames, a) || !to_path(a[0], "path", &w.path)) return nullptr;
  Owner view;
  if (!write_payload(a[1], &w.data, &view)) return nullptr;
  return submit(std::move(w), CompletionKind::write_count(), std::move(view));
}

}  // namespace kestrelio::py
