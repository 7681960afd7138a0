#include <memory>
#include <string>

#include "args.hpp"
#include "functions.hpp"
#include "pending_release.hpp"
#include "submit.hpp"

namespace kestrelio::py {

namespace {

constexpr const char* kOpenNames[] = {"path", "read", "write", "append", "truncate", "create", "create_new"};
constexpr const char* kReadNames[] = {"handle", "pos", "len"};
constexpr const char* kReadintoNames[] = {"handle", "pos", "buffer"};
constexpr const char* kWriteNames[] = {"handle", "pos", "data", "append"};
constexpr const char* kHandleNames[] = {"handle"};
constexpr const char* kSyncNames[] = {"handle", "data_only"};
constexpr const char* kSetLenNames[] = {"handle", "size"};

}  // namespace

PyObject* new_read_target(std::uint64_t len) {
  if (len > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  // Not zero-filled: the object is handed out only once every byte of it was
  // read into it; a short read hands out a copy of the filled prefix, a
  // failed one drops it. Filling first would cost a pass over the memory.
  return PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(len));
}

PyObject* py_open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  apply_pending_releases();
  static const Signature sig{"open", kOpenNames, 7, 7};
  PyObject* a[7];
  if (!bind_args(sig, args, nargs, kwnames, a)) return nullptr;
  op::Open o;
  if (!to_path(a[0], "path", &o.path) || !to_flag(a[1], "read", &o.read) || !to_flag(a[2], "write", &o.write) ||
      !to_flag(a[3], "append", &o.append) || !to_flag(a[4], "truncate", &o.truncate) ||
      !to_flag(a[5], "create", &o.create) || !to_flag(a[6], "create_new", &o.create_new))
    return nullptr;
  return submit(std::move(o), CompletionKind::plain(), std::nullopt);
}

PyObject* py_read(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  apply_pending_releases();
  static const Signature sig{"read", kReadNames, 3, 3};
  PyObject* a[3];
  std::uint64_t handle, pos, len;
  if (!bind_args(sig, args, nargs, kwnames, a) || !to_u64(a[0], "handle", &handle) || !to_u64(a[1], "pos", &pos) ||
      !to_u64(a[2], "len", &len))
    return nullptr;
  PyObject* target = new_read_target(len);
  if (!target) return nullptr;
  auto* storage = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(target));
  op::Read r{handle, pos, ReadBuf::raw(storage, static_cast<std::size_t>(len))};
  return submit(std::move(r), CompletionKind::filled_bytes(target), std::nullopt);
}

PyObject* py_readinto(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  apply_pending_releases();
  static const Signature sig{"readinto", kReadintoNames, 3, 3};
  PyObject* a[3];
  std::uint64_t handle, pos;
  if (!bind_args(sig, args, nargs, kwnames, a) || !to_u64(a[0], "handle", &handle) || !to_u64(a[1], "pos", &pos))
    return nullptr;
  Owner view;
  if (!byte_view(a[2], &view)) return nullptr;
  if (view.view()->readonly) {
    PyErr_SetString(PyExc_ValueError, "readinto needs a writable buffer");
    return nullptr;
  }
  if (!PyBuffer_IsContiguous(view.view(), 'C')) {
    PyErr_SetString(PyExc_ValueError, "buffer must be C-contiguous");
    return nullptr;
  }
  op::Read r{handle, pos,
             ReadBuf::raw(static_cast<std::uint8_t*>(view.view()->buf), static_cast<std::size_t>(view.view()->len))};
  return submit(std::move(r), CompletionKind::byte_count(), std::move(view));
}

PyObject* py_write(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  apply_pending_releases();
  static const Signature sig{"write", kWriteNames, 4, 4};
  PyObject* a[4];
  op::Write w{};
  if (!bind_args(sig, args, nargs, kwnames, a) || !to_u64(a[0], "handle", &w.handle) ||
      !to_u64(a[1], "pos", &w.pos) || !to_flag(a[3], "append", &w.append))
    return nullptr;
  Owner view;
  if (!write_payload(a[2], &w.data, &view)) return nullptr;
  return submit(std::move(w), CompletionKind::plain(), std::move(view));
}

PyObject* py_close(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  apply_pending_releases();
  static const Signature sig{"close", kHandleNames, 1, 1};
  PyObject* a[1];
  op::Close c{};
  if (!bind_args(sig, args, nargs, kwnames, a) || !to_u64(a[0], "handle", &c.handle)) return nullptr;
  return submit(c, CompletionKind::plain(), std::nullopt);
}

PyObject* py_sync(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  apply_pending_releases();
  static const Signature sig{"sync", kSyncNames, 2, 2};
  PyObject* a[2];
  op::Sync s{};
  if (!bind_args(sig, args, nargs, kwnames, a) || !to_u64(a[0], "handle", &s.handle) ||
      !to_flag(a[1], "data_only", &s.data_only))
    return nullptr;
  return submit(s, CompletionKind::plain(), std::nullopt);
}

PyObject* py_set_len(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  apply_pending_releases();
  static const Signature sig{"set_len", kSetLenNames, 2, 2};
  PyObject* a[2];
  op::SetLen s{};
  if (!bind_args(sig, args, nargs, kwnames, a) || !to_u64(a[0], "handle", &s.handle) ||
      !to_u64(a[1], "size", &s.len))
    return nullptr;
  return submit(s, CompletionKind::plain(), std::nullopt);
}

PyObject* py_size(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  apply_pending_releases();
  static const Signature sig{"size", kHandleNames, 1, 1};
  PyObject* a[1];
  op::Size s{};
  if (!bind_args(sig, args, nargs, kwnames, a) || !to_u64(a[0], "handle", &s.handle)) return nullptr;
  return submit(s, CompletionKind::plain(), std::nullopt);
}

}  // namespace kestrelio::py
