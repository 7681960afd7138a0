#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "args.hpp"
#include "bridge.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "globals.hpp"
#include "py_ref.hpp"
#include "submit.hpp"

namespace kestrelio::py {

namespace {

constexpr const char* kReadParallelNames[] = {"handle", "pos", "len", "chunk"};
constexpr const char* kMismatchInGroup = "mismatched kestrelio reply in read group";

struct GroupState {
  AnyThreadRef future;
  AnyThreadRef output;
  std::uint64_t end = 0;
  std::optional<IoError> error;
};

// One read split into chunks that all fill one bytes object; the last chunk
// to answer settles the one future.
struct ReadGroup {
  std::shared_ptr<LoopBridge> bridge;
  std::atomic<std::size_t> remaining{0};
  std::mutex state_mutex;
  GroupState state;
};

void chunk_done(const std::shared_ptr<ReadGroup>& group, std::uint64_t offset, std::uint64_t chunk_len,
                OpResult result) {
  {
    std::lock_guard<std::mutex> lock(group->state_mutex);
    GroupState& s = group->state;
    if (!result.ok()) {
      if (!s.error) s.error = result.error();
    } else if (const auto* r = result.get_if<reply::Read>()) {
      if (r->n < chunk_len) s.end = std::min<std::uint64_t>(s.end, offset + r->n);
    } else if (!s.error) {
      s.error = IoError::custom(IoErrorKind::Other, kMismatchInGroup);
    }
  }
  if (group->remaining.fetch_sub(1, std::memory_order_seq_cst) != 1) return;

  AnyThreadRef future, output;
  std::optional<IoError> error;
  std::uint64_t end;
  {
    std::lock_guard<std::mutex> lock(group->state_mutex);
    future = std::move(group->state.future);
    output = std::move(group->state.output);
    error = group->state.error;
    group->state.error.reset();
    end = group->state.end;
  }
  if (!future || !output) return;  // "group completes once": cannot happen
  CompletionKind kind = CompletionKind::filled_bytes(output.release());
  if (error) {
    group->bridge->complete(Completion{std::move(kind), OpResult(*error), std::move(future), std::nullopt});
  } else {
    group->bridge->complete(Completion{std::move(kind), OpResult(reply::Read{static_cast<std::size_t>(end)}),
                                       std::move(future), std::nullopt});
  }
}

}  // namespace

PyObject* py_read_parallel(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  apply_pending_releases();
  static const Signature sig{"read_parallel", kReadParallelNames, 4, 4};
  PyObject* a[4];
  std::uint64_t handle, pos, len, chunk;
  if (!bind_args(sig, args, nargs, kwnames, a) || !to_u64(a[0], "handle", &handle) || !to_u64(a[1], "pos", &pos) ||
      !to_u64(a[2], "len", &len) || !to_u64(a[3], "chunk", &chunk))
    return nullptr;
  if (chunk == 0) {
    PyErr_SetString(PyExc_ValueError, "chunk must be positive");
    return nullptr;
  }
  // Chunk positions are pos + offset; a wrap would silently read the start
  // of the file instead.
  if (pos > UINT64_MAX - len) {
    PyErr_SetString(PyExc_OverflowError, "pos + len exceeds the largest file position");
    return nullptr;
  }
  Submission sub;
  if (!sub.begin()) return nullptr;
  PyRef& future = sub.future;
  PyObject* output = new_read_target(len);
  if (!output) return nullptr;
  auto* base = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(output));

  std::uint64_t n = len / chunk + (len % chunk != 0 ? 1 : 0);
  auto group = std::make_shared<ReadGroup>();
  group->bridge = sub.bridge;
  group->remaining.store(n == 0 ? 1 : static_cast<std::size_t>(n));
  group->state.future = AnyThreadRef::steal(future.new_ref());
  group->state.output = AnyThreadRef::steal(output);
  group->state.end = len;

  if (len == 0) {
    PyRef empty = PyRef::steal(PyList_New(0));
    if (!empty || PyObject_SetAttr(future.get(), op_ids_name(), empty.get()) < 0) return nullptr;
    chunk_done(group, 0, 0, OpResult(reply::Read{0}));
    return future.release();
  }

  PyRef ids = PyRef::steal(PyList_New(0));
  if (!ids) return nullptr;
  // Once the first chunk is out, the group must be allowed to finish; a
  // failure to record an id only loses that id, not the read.
  bool ids_ok = true;
  for (std::uint64_t i = 0; i < n; ++i) {
    std::uint64_t offset = i * chunk;
    std::uint64_t chunk_len = std::min(chunk, len - offset);
    op::Read r{handle, pos + offset, ReadBuf::raw(base + offset, static_cast<std::size_t>(chunk_len))};
    OpId id = sub.driver->submit(std::move(r), [group, offset, chunk_len](OpResult result) {
      chunk_done(group, offset, chunk_len, std::move(result));
    });
    if (i == 0) sub.submitted();
    if (ids_ok) {
      PyRef number = PyRef::steal(PyLong_FromUnsignedLongLong(id));
      if (!number || PyList_Append(ids.get(), number.get()) < 0) ids_ok = false;
    }
  }
  if (!ids_ok || PyObject_SetAttr(future.get(), op_ids_name(), ids.get()) < 0) return nullptr;
  return future.release();
}

}  // namespace kestrelio::py
