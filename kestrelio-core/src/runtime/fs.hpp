#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "kestrelio/expected.hpp"
#include "kestrelio/op.hpp"
#include "runtime/file.hpp"
#include "runtime/op_state.hpp"
#include "runtime/task.hpp"

namespace kestrelio::runtime {

using Status = Expected<std::monostate>;

inline constexpr const char* kNulInPath = "file name contained an unexpected NUL byte";

// What open() is asked for; turned into open(2) flags by open_flags().
struct OpenOptions {
  bool read = false;
  bool write = false;
  bool truncate = false;
  bool create = false;
  bool create_new = false;
  int extra_flags = 0;  // added as is, e.g. O_APPEND
  mode_t mode = 0666;   // subject to the umask
  // The caller's cancellation flag: the open is aborted once it is set (OpState::cancel).
  std::shared_ptr<const bool> cancel;
};

// Access and creation rules: EINVAL for no access at all, and for any
// creation flag without write access. O_CLOEXEC always.
Expected<int> open_flags(const OpenOptions& options);

// A buffer handed to an operation and given back with its result, so that
// what the kernel may write is owned by the operation while it runs.
template <class B>
struct BufResult {
  Expected<std::size_t> result;
  B buf;
};

// Awaits one operation. The state outlives this awaiter when the awaiting
// coroutine is destroyed first; the driver keeps its own reference until the
// completion is reaped.
class OrderedLane;

class OpAwaiter {
 public:
  // With a `lane`, the operation goes to the pool through it instead of the
  // driver; the lane must outlive the suspension.
  explicit OpAwaiter(std::shared_ptr<OpState> op, OrderedLane* lane = nullptr) noexcept
      : op_(std::move(op)), lane_(lane) {}
  OpAwaiter(const OpAwaiter&) = delete;
  OpAwaiter& operator=(const OpAwaiter&) = delete;
  ~OpAwaiter() {
    if (op_) op_->waiter = {};
  }
  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<> h);
  std::int64_t await_resume() const noexcept { return op_->res; }

 private:
  std::shared_ptr<OpState> op_;
  OrderedLane* lane_;
};

// Fails with InvalidInput kNulInPath when `path` holds a NUL, before any call.
Task<Expected<File>> open(std::string path, OpenOptions options);
// st_size of the open file (statx on io_uring, fstat on the pool).
Task<Expected<std::uint64_t>> file_size(const File& file);
// The size of an open file as its inode holds it: one statx on the calling
// thread that never asks a network file system again (AT_STATX_DONT_SYNC),
// so it cannot wait on a disk or a server. Just after an open that is what
// file_size answers too (opening revalidates the attributes); later, a
// writer elsewhere may have moved on, so it only sizes reads that go on to
// end of file whatever it says. file_size's operation where statx is missing.
struct SizeHint {
  std::uint64_t size = 0;
  // A regular file that statx sized: a read of it that stops short of what
  // it asked for has met the end (procfs and sysfs files are not this).
  bool regular = false;
};
Task<Expected<SizeHint>> size_hint(const File& file);
// Positional read into memory the caller keeps alive and in place until the
// operation has completed (or the runtime has been dropped). EINTR is retried.
// Here and below, a `pos` beyond the largest off_t fails with EINVAL on every
// driver, without a system call.
// With `cancel`, ECANCELED once it is set: before the read, or by aborting it (OpState::cancel).
Task<Expected<std::size_t>> read_at(const File& file, std::uint64_t pos, std::uint8_t* ptr, std::size_t len,
                                    std::shared_ptr<const bool> cancel = {});
// Positional read into buf[from, from + len), which the operation owns meanwhile.
Task<BufResult<std::vector<std::uint8_t>>> read_at(const File& file, std::uint64_t pos, std::vector<std::uint8_t> buf,
                                                   std::size_t from, std::size_t len,
                                                   std::shared_ptr<const bool> cancel = {});
// Positional write of data[from, end); the payload is owned by the operation meanwhile.
Task<BufResult<Payload>> write_at(const File& file, std::uint64_t pos, Payload data, std::size_t from);
Task<Status> sync(const File& file, bool data_only);
// EFBIG without a system call when `len` does not fit a signed 64-bit offset.
Task<Status> truncate(const File& file, std::uint64_t len);
// Waits until `file` is the last reference, then closes it through the driver.
Task<Status> close(File file);

}  // namespace kestrelio::runtime
