// read_many and write_many: several positional reads or writes of one handle
// submitted together behind one future that answers a list, one entry per
// operation in the order given.

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "args.hpp"
#include "bridge.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "globals.hpp"
#include "py_ref.hpp"
#include "many_ops.hpp"
#include "submit.hpp"

namespace kestrelio::py {

namespace {

constexpr const char* kReadManyNames[] = {"handle", "spans"};
constexpr const char* kWriteManyNames[] = {"handle", "pairs"};
constexpr const char* kMismatchInBatch = "mismatched kestrelio reply in batch";

// The operations of one call answer here; the last to answer settles the future.
struct ManyGroup {
  std::shared_ptr<LoopBridge> bridge;
  std::atomic<std::size_t> remaining{0};
  std::mutex mutex;
  AnyThreadRef future;
  AnyThreadRef targets;  // read_many: the list of bytes objects being filled
  std::shared_ptr<ManyAnswers> answers;
  std::optional<IoError> error;  // the first failure other than a cancellation
  bool cancelled = false;
  bool reads = false;
};

void finish(const std::shared_ptr<ManyGroup>& group);

void op_done(const std::shared_ptr<ManyGroup>& group, std::size_t index, OpResult result) {
  {
    std::lock_guard<std::mutex> lock(group->mutex);
    ManyGroup& g = *group;
    if (!result.ok()) {
      const IoError& e = result.error();
      if (e.is_os() && e.raw_os_error() == ECANCELED) {
        g.cancelled = true;
      } else if (!g.error) {
        g.error = e;
      }
    } else if (const auto* r = result.get_if<reply::Read>(); r && g.reads) {
      g.answers->counts[index] = r->n;
    } else if (const auto* w = result.get_if<reply::Written>(); w && !g.reads) {
      g.answers->counts[index] = w->n;
    } else if (!g.error) {
      g.error = IoError::custom(IoErrorKind::Other, kMismatchInBatch);
    }
  }
  if (group->remaining.fetch_sub(1, std::memory_order_seq_cst) != 1) return;
  finish(group);
}

void finish(const std::shared_ptr<ManyGroup>& group) {
  // Every operation has answered: nothing touches the lent memory any more.
  AnyThreadRef future, targets;
  std::shared_ptr<ManyAnswers> answers;
  std::optional<IoError> error;
  bool cancelled;
  {
    std::lock_guard<std::mutex> lock(group->mutex);
    future = std::move(group->future);
    targets = std::move(group->targets);
    answers = std::move(group->answers);
    error = group->error;
    cancelled = group->cancelled;
  }
  if (!future || !answers) return;  // answered twice: cannot happen
  CompletionKind kind = group->reads ? CompletionKind::read_list(targets.release(), std::move(answers))
                                     : CompletionKind::count_list(std::move(answers));
  IoError failure = error ? *error : IoError::os(ECANCELED);
  if (error || cancelled) {
    group->bridge->complete(Completion{std::move(kind), OpResult(std::move(failure)), std::move(future), std::nullopt});
  } else {
    group->bridge->complete(Completion{std::move(kind), OpResult(reply::Unit{}), std::move(future), std::nullopt});
  }
}

// The items of `arg` as a list (new reference), at most kManyMax of them; null with an exception set.
PyObject* items_of(PyObject* arg, const char* name, const char* what) {
  if (PyUnicode_Check(arg) || PyBytes_Check(arg) || PyByteArray_Check(arg)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected an iterable of %s, not '%s'", name, what,
                 Py_TYPE(arg)->tp_name);
    return nullptr;
  }
  PyObject* it = PyObject_GetIter(arg);
  if (!it) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "argument '%s': expected an iterable of %s, not '%s'", name, what,
                 Py_TYPE(arg)->tp_name);
    return nullptr;
  }
  PyRef iter = PyRef::steal(it);
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  while (PyObject* item = PyIter_Next(iter.get())) {
    PyRef held = PyRef::steal(item);
    if (PyList_GET_SIZE(list.get()) >= static_cast<Py_ssize_t>(kManyMax)) {
      PyErr_Format(PyExc_ValueError, "argument '%s': more than %zu %s", name, kManyMax, what);
      return nullptr;
    }
    if (PyList_Append(list.get(), item) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  return list.release();
}

// Unpacks a pair (a tuple or list of two); borrowed references.
bool pair_of(PyObject* item, const char* name, Py_ssize_t i, const char* what, PyObject** first,
             PyObject** second) {
  if ((!PyTuple_Check(item) && !PyList_Check(item)) || PySequence_Fast_GET_SIZE(item) != 2) {
    PyErr_Format(PyExc_TypeError, "argument '%s': item %zd is not a %s pair", name, i, what);
    return false;
  }
  *first = PySequence_Fast_GET_ITEM(item, 0);
  *second = PySequence_Fast_GET_ITEM(item, 1);
  return true;
}

bool check_end(std::uint64_t pos, std::uint64_t len) {
  if (pos > UINT64_MAX - len) {
    PyErr_SetString(PyExc_OverflowError, "pos + len exceeds the largest file position");
    return false;
  }
  return true;
}

// Submits the prepared operations; `make(i)` builds operation i. Returns the future.
template <class Make>
PyObject* submit_group(Submission& sub, const std::shared_ptr<ManyGroup>& group,
                       std::size_t n, Make make) {
  if (n == 0) {
    PyRef empty = PyRef::steal(PyList_New(0));
    if (!empty || PyObject_SetAttr(sub.future.get(), op_ids_name(), empty.get()) < 0) return nullptr;
    finish(group);  // nothing to wait for: the empty list, through the bridge like any answer
    return sub.future.release();
  }
  group->remaining.store(n);
  PyRef ids = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  // Once the first operation is out, the group must be allowed to finish: a
  // failure to record the ids (its exception stays set) does not stop it.
  bool ids_ok = static_cast<bool>(ids);
  for (std::size_t i = 0; i < n; ++i) {
    OpId id = sub.driver->submit(make(i), [group, i](OpResult result) { op_done(group, i, std::move(result)); });
    if (ids_ok) {
      PyObject* number = PyLong_FromUnsignedLongLong(id);
      if (!number) {
        ids_ok = false;
        continue;
      }
      PyList_SET_ITEM(ids.get(), static_cast<Py_ssize_t>(i), number);
    }
  }
  sub.submitted();
  if (!ids_ok || PyObject_SetAttr(sub.future.get(), op_ids_name(), ids.get()) < 0) return nullptr;
  return sub.future.release();
}

}  // namespace

PyObject* many_value(CompletionKind& kind) {
  if (!kind.many) return internal_fault("batch completion without answers");
  const std::vector<std::size_t>& counts = kind.many->counts;
  if (kind.tag == CompletionKind::Tag::CountList) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(counts.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < counts.size(); ++i) {
      PyObject* n = PyLong_FromSize_t(counts[i]);
      if (!n) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), n);
    }
    return list.release();
  }
  // The targets list never left the module: short reads are cut to size in place.
  PyObject* list = kind.payload.get();
  if (!list || !PyList_Check(list) || PyList_GET_SIZE(list) != static_cast<Py_ssize_t>(counts.size()))
    return internal_fault("batch read without its buffers");
  for (std::size_t i = 0; i < counts.size(); ++i) {
    PyObject* b = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i));
    Py_ssize_t len = PyBytes_GET_SIZE(b);
    if (counts[i] > static_cast<std::size_t>(len)) return internal_fault("read reply longer than its buffer");
    if (counts[i] == static_cast<std::size_t>(len)) continue;
    PyObject* cut = PyBytes_FromStringAndSize(PyBytes_AS_STRING(b), static_cast<Py_ssize_t>(counts[i]));
    if (!cut) return nullptr;
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), cut);  // steals `cut`, drops the full buffer
  }
  return Py_NewRef(list);
}

PyObject* py_read_many(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  apply_pending_releases();
  static const Signature sig{"read_many", kReadManyNames, 2, 2};
  PyObject* a[2];
  std::uint64_t handle;
  if (!bind_args(sig, args, nargs, kwnames, a) || !to_u64(a[0], "handle", &handle)) return nullptr;
  PyRef items = PyRef::steal(items_of(a[1], "spans", "(pos, len) spans"));
  if (!items) return nullptr;
  std::size_t n = static_cast<std::size_t>(PyList_GET_SIZE(items.get()));
  std::vector<std::uint64_t> positions(n);
  PyRef targets = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!targets) return nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    PyObject *p, *l;
    std::uint64_t len;
    if (!pair_of(PyList_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i)), "spans", static_cast<Py_ssize_t>(i),
                 "(pos, len)", &p, &l) ||
        !to_u64(p, "spans", &positions[i]) || !to_u64(l, "spans", &len) || !check_end(positions[i], len))
      return nullptr;
    PyObject* target = new_read_target(len);
    if (!target) return nullptr;
    PyList_SET_ITEM(targets.get(), static_cast<Py_ssize_t>(i), target);
  }
  Submission sub;
  if (!sub.begin()) return nullptr;

  auto group = std::make_shared<ManyGroup>();
  group->bridge = sub.bridge;
  group->reads = true;
  group->future = AnyThreadRef::steal(sub.future.new_ref());
  group->answers = std::make_shared<ManyAnswers>();
  group->answers->counts.assign(n, 0);
  PyObject* list = targets.get();
  group->targets = AnyThreadRef::steal(targets.release());
  return submit_group(sub, group, n, [&](std::size_t i) -> Op {
    PyObject* b = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i));
    auto* storage = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(b));
    return op::Read{handle, positions[i], ReadBuf::raw(storage, static_cast<std::size_t>(PyBytes_GET_SIZE(b)))};
  });
}

PyObject* py_write_many(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  apply_pending_releases();
  static const Signature sig{"write_many", kWriteManyNames, 2, 2};
  PyObject* a[2];
  std::uint64_t handle;
  if (!bind_args(sig, args, nargs, kwnames, a) || !to_u64(a[0], "handle", &handle)) return nullptr;
  PyRef items = PyRef::steal(items_of(a[1], "pairs", "(pos, data) pairs"));
  if (!items) return nullptr;
  std::size_t n = static_cast<std::size_t>(PyList_GET_SIZE(items.get()));
  auto answers = std::make_shared<ManyAnswers>();
  answers->counts.assign(n, 0);
  answers->owners.reserve(n);
  std::vector<std::uint64_t> positions(n);
  std::vector<Payload> payloads;
  payloads.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    PyObject *p, *data;
    if (!pair_of(PyList_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i)), "pairs", static_cast<Py_ssize_t>(i),
                 "(pos, data)", &p, &data) ||
        !to_u64(p, "pairs", &positions[i]))
      return nullptr;
    Payload payload = Payload::raw(nullptr, 0);
    Owner view;
    if (!write_payload(data, &payload, &view) || !check_end(positions[i], payload.size())) return nullptr;
    payloads.push_back(std::move(payload));
    answers->owners.push_back(std::move(view));
  }
  Submission sub;
  if (!sub.begin()) return nullptr;

  auto group = std::make_shared<ManyGroup>();
  group->bridge = sub.bridge;
  group->reads = false;
  group->future = AnyThreadRef::steal(sub.future.new_ref());
  // The views ride with the answers and are released when the future is settled.
  group->answers = std::move(answers);
  return submit_group(sub, group, n, [&](std::size_t i) -> Op {
    return op::Write{false, handle, positions[i], std::move(payloads[i])};
  });
}

}  // namespace kestrelio::py
