#include "fast_path/fast_path.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "args.hpp"
#include "fast_path/nowait_read.hpp"
#include "fast_path/resident_view.hpp"
#include "pending_release.hpp"
#include "py_ref.hpp"

namespace kestrelio::py {

namespace {

constexpr std::uint64_t kHeadroom = 1048576;
constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kLargestOffset = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
// A refused no-wait read starts the kernel's readahead on the calling thread
// (the event loop), up to the device's readahead window. Reads at least this
// long, and every read for a while after a refusal, ask `mincore` first,
// which starts no I/O.
constexpr std::uint64_t kAskFirstMin = 65536;
constexpr std::uint32_t kAskFirstAfterRefusal = 64;
// Where `mincore` cannot tell, a file found cold is not asked again for this
// many reads, doubling with every refusal up to the cap.
constexpr std::uint32_t kMaxColdSkips = 1024;

// The size of a regular file, negative taken as 0; false for a negative
// descriptor, a failing `fstat` or anything that is not a regular file.
bool regular_file_size(int fd, struct stat* st, std::uint64_t* size) {
  if (fd < 0 || fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) return false;
  *size = st->st_size < 0 ? 0 : static_cast<std::uint64_t>(st->st_size);
  return true;
}

enum class Fill { Copied, Declined, Fault };

struct FillResult {
  Fill kind;
  std::uint64_t n;
};

struct Inner {
  // A read-nothing mapping of the file for `mincore`. Where the kernel reads
  // without waiting it is made only once `mincore` is asked (a refused read,
  // a large one): mapping and unmapping cost more than a small read, and
  // most files opened are read a little and closed.
  ResidentView view;
  std::int32_t fd;  // borrowed: the Python file object owns and closes it
  // Reads that end at or below `bound` (the file's size when last probed,
  // rounded up to pages, plus headroom; or when the view was mapped, if later)
  // need no new probe; false: probe first.
  bool probed = false;
  std::uint64_t bound = 0;
  // The kernel reads this file without waiting for the disk: one system call
  // tests residency and copies, and `mincore` is not needed.
  bool nowait = false;
  // `mincore` on the view tells the truth about this file's page cache;
  // known once `reported_known` (always, where the kernel cannot read without waiting).
  bool reported = false;
  bool reported_known = false;
  // Reads still to ask `mincore` before a no-wait read, after a refusal.
  std::uint32_t ask_first = 0;
  // Where `mincore` cannot tell: reads to decline unasked, and the next such count.
  std::uint32_t cold_skips = 0;
  std::uint32_t cold_backoff = 0;
  // Where the last declined read ended. A read that starts there continues a
  // cold stream, which the kernel is reading ahead of: copying the pages it
  // just brought in would start its next readahead on this thread, so the
  // stream stays with the backend until it breaks off.
  static constexpr std::uint64_t kNoStream = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t cold_stream_end = kNoStream;

  bool ensure_probed(std::uint64_t need);
  bool mincore_tells();
  void forget_probe();
  FillResult fill(std::uint64_t pos, char* dest, std::uint64_t len);
  FillResult fill_without_waiting(std::uint64_t pos, char* dest, std::uint64_t len);
  FillResult fill_resident(std::uint64_t pos, char* dest, std::uint64_t len);
  bool resident(std::uint64_t pos, std::uint64_t len, std::uint64_t* want);
  bool may_ask_without_waiting(std::uint64_t pos, std::uint64_t len);
  void refused();
};

// The view length for a file of `size` bytes: rounded up to pages, plus the
// headroom whose last page `residency_is_reported` needs past the end of file.
bool view_length_for(std::uint64_t size, std::uint64_t* length) {
  const std::uint64_t page = page_size();
  if (size > kU64Max - (page - 1)) return false;
  const std::uint64_t raised = (size + page - 1) / page * page;
  if (raised >= kU64Max - kHeadroom + 1) return false;
  if (raised + kHeadroom > std::numeric_limits<std::size_t>::max()) return false;
  *length = raised + kHeadroom;
  return true;
}

bool Inner::ensure_probed(std::uint64_t need) {
  if (probed && need <= bound) return true;
  struct stat st;
  std::uint64_t size;
  if (!regular_file_size(fd, &st, &size)) return false;
  std::uint64_t length;
  if (!view_length_for(size, &length)) return false;
  // The file has not grown enough for a longer bound, and this one is short.
  if (probed && bound >= length) return false;
  bool reads_nowait = reads_without_waiting(fd);
  if (reads_nowait) {
    view = ResidentView{};  // a view as long as the new bound is mapped when `mincore` is asked
    reported_known = false;
  } else {
    // `mincore` is the only way to know: the view is needed now.
    ResidentView fresh = ResidentView::map(fd, length);
    if (!fresh) return false;
    // A kernel that calls every page resident would let a read block on the
    // disk; such a file is never served by `mincore` (the fresh view is
    // unmapped here).
    if (!residency_is_reported(fd, st, fresh)) return false;
    view = std::move(fresh);
    reported = reported_known = true;
  }
  nowait = reads_nowait;
  bound = length;
  probed = true;
  return need <= length;
}

// Whether `mincore` on the view tells the truth about the file, mapping the
// view for the current bound if it is not there yet.
bool Inner::mincore_tells() {
  if (reported_known) return reported;
  reported_known = true;
  reported = false;
  struct stat st;
  std::uint64_t size;
  if (!regular_file_size(fd, &st, &size)) return false;
  // The file may have grown since the bound was set: the view must still end
  // a headroom past the end of file for its last page to tell a lie apart.
  std::uint64_t length;
  if (!view_length_for(size, &length)) return false;
  if (length < bound) length = bound;
  ResidentView fresh = ResidentView::map(fd, length);
  if (!fresh || !residency_is_reported(fd, st, fresh)) return false;
  view = std::move(fresh);
  bound = length;
  reported = true;
  return true;
}

// Probe afresh at the next read: the kernel changed its mind about this file.
void Inner::forget_probe() {
  view = ResidentView{};
  probed = reported_known = false;
}

FillResult Inner::fill(std::uint64_t pos, char* dest, std::uint64_t len) {
  if (len > kU64Max - pos) return {Fill::Declined, 0};
  const bool continues_cold_stream = pos == cold_stream_end;
  cold_stream_end = kNoStream;
  if (continues_cold_stream) {
    cold_stream_end = pos + len;
    return {Fill::Declined, 0};
  }
  FillResult r = fill_resident(pos, dest, len);
  if (r.kind == Fill::Declined) cold_stream_end = pos + len;
  return r;
}

FillResult Inner::fill_resident(std::uint64_t pos, char* dest, std::uint64_t len) {
  constexpr FillResult declined{Fill::Declined, 0};
  const std::uint64_t end = pos + len;
  if (!ensure_probed(end)) return declined;
  if (nowait) {
    if (!may_ask_without_waiting(pos, len)) return declined;
    return fill_without_waiting(pos, dest, len);
  }

  const std::uint64_t page = page_size();
  std::uint64_t want = len;
  if (!view) {
    PyErr_SetString(PyExc_SystemError, "a file read through mincore has no view");
    return {Fill::Fault, 0};
  }
  if (!resident(pos, len, &want)) return declined;
  unsigned char vec[1];
  // The kernel decides whether to tell this process the truth at every
  // call: after a chmod or a change of credentials it may call every page
  // resident. The view's last page lay past the end of file when it was
  // mapped; seen resident now, the view is dropped, and the next read maps
  // a fresh one and asks again whether residency is reported at all.
  if (!view.residency(view.length() - page, page, vec)) return declined;
  if (vec[0] & 1) {
    forget_probe();
    return declined;
  }

  std::uint64_t copied = 0;
  while (copied < want) {
    if (copied > kU64Max - pos || pos + copied > kLargestOffset) break;
    ssize_t n = pread(fd, dest + copied, static_cast<std::size_t>(want - copied), static_cast<off_t>(pos + copied));
    if (n < 0) {
      if (errno == EINTR) continue;
      return declined;
    }
    if (n == 0) return {Fill::Copied, copied};
    copied += static_cast<std::uint64_t>(n);
  }
  if (copied == want) return {Fill::Copied, copied};
  return declined;
}

// Every page under [pos, pos + len) is in the page cache, except pages wholly
// past the end of file, which no read will touch; `want` is cut to that end.
// The range lies inside the view.
bool Inner::resident(std::uint64_t pos, std::uint64_t len, std::uint64_t* want_out) {
  const std::uint64_t end = pos + len;
  const std::uint64_t page = page_size();
  const std::uint64_t first = pos / page * page;
  const std::uint64_t last = end % page == 0 ? end : end + (page - end % page);
  std::uint64_t want = len;
  unsigned char vec[ResidentView::kBatchPages];
  for (std::uint64_t off = first; off < last;) {
    const std::uint64_t batch_max = ResidentView::kBatchPages * page;
    const std::uint64_t batch = last - off < batch_max ? last - off : batch_max;
    if (!view.residency(off, batch, vec)) return false;
    const std::uint64_t pages = (batch + page - 1) / page;
    for (std::uint64_t i = 0; i < pages; ++i) {
      if (vec[i] & 1) continue;
      const std::uint64_t p = off + i * page;
      struct stat st;
      std::uint64_t size;
      if (!regular_file_size(fd, &st, &size)) return false;
      if (p < size) return false;
      // Only the bytes below this end of file were proven resident; copying
      // past it (the file may grow meanwhile) could wait on the disk, so the
      // copy ends here, as a read that met the end of file would.
      want = size > pos ? (size - pos < len ? size - pos : len) : 0;
      off = last;
      break;
    }
    if (off < last) off += batch;
  }
  *want_out = want;
  return true;
}

// Whether a no-wait read may be tried now: it could start readahead on this
// thread if the data were cold, so large reads and a file refused lately ask
// `mincore` first; where `mincore` cannot tell, a cold file rests a while.
bool Inner::may_ask_without_waiting(std::uint64_t pos, std::uint64_t len) {
  // Nothing refused lately and a small read: yes, whatever `mincore` would say.
  if (ask_first == 0 && cold_skips == 0 && len < kAskFirstMin) return true;
  if (mincore_tells()) {
    if (ask_first == 0 && len < kAskFirstMin) return true;
    std::uint64_t want;
    if (!resident(pos, len, &want)) {
      ask_first = kAskFirstAfterRefusal;
      return false;
    }
    if (ask_first > 0) --ask_first;
    return true;
  }
  if (cold_skips == 0) return true;
  --cold_skips;
  return false;
}

void Inner::refused() {
  if (mincore_tells()) {
    ask_first = kAskFirstAfterRefusal;
  } else {
    cold_backoff = cold_backoff == 0 ? 1 : (cold_backoff >= kMaxColdSkips / 2 ? kMaxColdSkips : cold_backoff * 2);
    cold_skips = cold_backoff;
  }
}

FillResult Inner::fill_without_waiting(std::uint64_t pos, char* dest, std::uint64_t len) {
  constexpr FillResult declined{Fill::Declined, 0};
  std::uint64_t copied = 0;
  while (copied < len) {
    const std::uint64_t left = len - copied;
    const std::size_t chunk = left < std::numeric_limits<std::size_t>::max() ? static_cast<std::size_t>(left)
                                                                            : std::numeric_limits<std::size_t>::max();
    NowaitResult r = read_without_waiting(fd, dest + copied, chunk, pos + copied);
    if (r.kind == NowaitKind::Copied) {
      if (r.n == 0) break;  // end of file
      copied += r.n;
      continue;
    }
    // Not resident, or the kernel changed its mind about this file: the
    // view goes, and the next read maps a fresh one and asks again. A
    // resident prefix may already be in `dest`: only the file's own bytes,
    // which the caller's fallback read writes again.
    if (r.kind == NowaitKind::Unsupported) forget_probe();
    if (r.kind == NowaitKind::NotResident) refused();
    return declined;
  }
  cold_backoff = 0;
  return {Fill::Copied, copied};
}

struct FastPathObject {
  PyObject_HEAD
  Inner inner;
};

Inner& inner_of(PyObject* self) { return reinterpret_cast<FastPathObject*>(self)->inner; }

// A new bytes object of `len` bytes, uninitialised, or null with an
// exception set. Its bytes are never seen unwritten: a full fill hands it
// out, a short one copies the filled prefix, a declined one releases it.
PyObject* unfilled_bytes(std::uint64_t len) {
  if (len > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetString(PyExc_OverflowError, "byte string is too large");
    return nullptr;
  }
  return PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(len));
}

PyObject* fast_path_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  apply_pending_releases();
  static const char* const names[] = {"fd"};
  static const Signature sig{"FastPath", names, 1, 1};
  // Flatten (args, kwds) into the vectorcall layout the binder takes.
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  std::vector<PyObject*> flat(static_cast<std::size_t>(nargs));
  for (Py_ssize_t i = 0; i < nargs; ++i) flat[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
  PyRef kwnames;
  if (kwds && PyDict_GET_SIZE(kwds) > 0) {
    kwnames = PyRef::steal(PyTuple_New(PyDict_GET_SIZE(kwds)));
    if (!kwnames) return nullptr;
    Py_ssize_t it = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwds, &it, &key, &value)) {
      Py_INCREF(key);
      PyTuple_SET_ITEM(kwnames.get(), k++, key);
      flat.push_back(value);
    }
  }
  PyObject* bound[1];
  if (!bind_args(sig, flat.data(), nargs, kwnames.get(), bound)) return nullptr;
  std::int32_t fd;
  if (!to_i32(bound[0], "fd", &fd)) return nullptr;

  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  new (&inner_of(self)) Inner{ResidentView(), fd};
  return self;
}

void fast_path_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  inner_of(self).~Inner();  // unmaps the view; the descriptor stays open
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* fast_path_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  apply_pending_releases();
  static const char* const names[] = {"pos", "len"};
  static const Signature sig{"read", names, 2, 2};
  PyObject* bound[2];
  if (!bind_args(sig, args, nargs, kwnames, bound)) return nullptr;
  std::uint64_t pos, len;
  if (!to_u64(bound[0], "pos", &pos) || !to_u64(bound[1], "len", &len)) return nullptr;
  if (len == 0) Py_RETURN_NONE;
  PyRef out = PyRef::steal(unfilled_bytes(len));
  if (!out) return nullptr;
  FillResult r = inner_of(self).fill(pos, PyBytes_AS_STRING(out.get()), len);
  if (r.kind == Fill::Fault) return nullptr;
  if (r.kind == Fill::Declined) Py_RETURN_NONE;
  if (r.n == len) return out.release();
  return PyBytes_FromStringAndSize(PyBytes_AS_STRING(out.get()), static_cast<Py_ssize_t>(r.n));
}

PyObject* fast_path_readinto(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  apply_pending_releases();
  static const char* const names[] = {"pos", "buffer"};
  static const Signature sig{"readinto", names, 2, 2};
  PyObject* bound[2];
  if (!bind_args(sig, args, nargs, kwnames, bound)) return nullptr;
  std::uint64_t pos;
  if (!to_u64(bound[0], "pos", &pos)) return nullptr;
  Py_buffer view;
  if (PyObject_GetBuffer(bound[1], &view, PyBUF_FULL_RO) < 0) return nullptr;
  const char* invalid = nullptr;
  if (!check_byte_view(view)) {
    PyBuffer_Release(&view);
    return nullptr;
  }
  if (view.readonly) {
    invalid = "readinto needs a writable buffer";
  } else if (!PyBuffer_IsContiguous(&view, 'C')) {
    invalid = "buffer must be C-contiguous";
  }
  if (invalid) {
    PyBuffer_Release(&view);
    PyErr_SetString(PyExc_ValueError, invalid);
    return nullptr;
  }
  if (view.len == 0) {
    PyBuffer_Release(&view);
    Py_RETURN_NONE;
  }
  FillResult r = inner_of(self).fill(pos, static_cast<char*>(view.buf), static_cast<std::uint64_t>(view.len));
  PyBuffer_Release(&view);
  if (r.kind == Fill::Fault) return nullptr;
  if (r.kind == Fill::Declined) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(r.n);
}

PyObject* fast_path_read_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  apply_pending_releases();
  static const char* const names[] = {"pos"};
  static const Signature sig{"read_all", names, 1, 1};
  PyObject* bound[1];
  if (!bind_args(sig, args, nargs, kwnames, bound)) return nullptr;
  std::uint64_t pos;
  if (!to_u64(bound[0], "pos", &pos)) return nullptr;
  Inner& inner = inner_of(self);
  struct stat st;
  std::uint64_t size;
  if (!regular_file_size(inner.fd, &st, &size)) Py_RETURN_NONE;
  const std::uint64_t want = size > pos ? size - pos : 0;
  PyRef out = PyRef::steal(unfilled_bytes(want));
  if (!out) return nullptr;
  if (size > pos) {
    FillResult r = inner.fill(pos, PyBytes_AS_STRING(out.get()), want);
    if (r.kind == Fill::Fault) return nullptr;
    if (r.kind != Fill::Copied || r.n != want) Py_RETURN_NONE;
  }
  std::uint64_t after;
  if (!regular_file_size(inner.fd, &st, &after) || after != size) Py_RETURN_NONE;
  return out.release();
}

PyObject* fast_path_size(PyObject* self, PyObject*) {
  apply_pending_releases();
  struct stat st;
  std::uint64_t size;
  if (!regular_file_size(inner_of(self).fd, &st, &size)) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(size);
}

PyObject* fast_path_supported(PyObject* self, PyObject*) {
  apply_pending_releases();
  Inner& inner = inner_of(self);
  if (inner.probed || inner.ensure_probed(0)) Py_RETURN_TRUE;
  Py_RETURN_FALSE;
}

PyMethodDef fast_path_methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fast_path_read)), METH_FASTCALL | METH_KEYWORDS,
     "read($self, pos, len)\n--\n\n"
     "Up to `len` bytes at `pos` as `bytes`, short only at EOF, or `None`\n"
     "when the fast path does not apply."},
    {"readinto", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fast_path_readinto)),
     METH_FASTCALL | METH_KEYWORDS,
     "readinto($self, pos, buffer)\n--\n\n"
     "`readinto` counterpart of `read`: fills a caller-owned buffer and\n"
     "returns the byte count, or `None` when the fast path does not apply."},
    {"read_all", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fast_path_read_all)),
     METH_FASTCALL | METH_KEYWORDS,
     "read_all($self, pos)\n--\n\n"
     "Everything from `pos` to EOF -- the `f.read()` case, where the size\n"
     "comes from `fstat` -- or `None` when any part is not resident or the\n"
     "file changed size while it was being copied."},
    {"size", fast_path_size, METH_NOARGS,
     "size($self)\n--\n\n"
     "The file's current size from an inline `fstat`, or `None` for anything\n"
     "that is not a regular file. Lets a large read-all skip the driver round\n"
     "trips for its size snapshot and its end-of-file check."},
    {"supported", fast_path_supported, METH_NOARGS,
     "supported($self)\n--\n\n"
     "Whether this file can ever take the fast path. The caller asks once\n"
     "after a `None` and drops the object when the answer is no, so a file\n"
     "that can never be served pays one probe rather than one per read."},
    {nullptr, nullptr, 0, nullptr},
};

const char fast_path_doc[] =
    "FastPath(fd)\n--\n\n"
    "Per-file fast-path state, owned by the Python `BinaryFile` for as long as\n"
    "the file is open.";

PyType_Slot fast_path_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(fast_path_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(fast_path_dealloc)},
    {Py_tp_methods, fast_path_methods},
    {Py_tp_doc, const_cast<char*>(fast_path_doc)},
    {0, nullptr},
};

PyType_Spec fast_path_spec = {
    "_kestrelio.FastPath",
    static_cast<int>(sizeof(FastPathObject)),
    0,
#ifdef Py_TPFLAGS_IMMUTABLETYPE
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
#else
    Py_TPFLAGS_DEFAULT,
#endif
    fast_path_slots,
};

}  // namespace

PyTypeObject* fast_path_type() {
  static PyObject* type = nullptr;
  if (!type) type = PyType_FromSpec(&fast_path_spec);
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace kestrelio::py
