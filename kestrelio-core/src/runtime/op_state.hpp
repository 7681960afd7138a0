#pragma once

#include <linux/stat.h>
#include <sys/types.h>

#include <coroutine>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kestrelio/op.hpp"
#include "runtime/file.hpp"
#include "runtime/job.hpp"
#include "runtime/unique_fd.hpp"

namespace kestrelio::runtime {

enum class OpKind : std::uint8_t {
  Open,
  Read,
  Write,
  Stat,
  Sync,
  Truncate,
  Close,
  Call,
  // Operations on names; the ring runs them where it offers the opcode.
  StatAt,
  RenameAt,
  UnlinkAt,
  MkdirAt,
  SymlinkAt,
  LinkAt,
};

// One operation handed to a driver. It owns everything the kernel or a pool
// thread may touch while the operation is in flight (path, owned buffers, the
// file reference that keeps the descriptor number valid), and is freed only
// after its completion has been reaped, whatever happened to the coroutine
// that submitted it. Memory behind `buf` that the state does not own (a
// caller's Raw buffer) is protected by the runtime's teardown, which reaps
// every operation before it returns.
struct OpState {
  explicit OpState(OpKind k) noexcept : kind(k) {}
  OpState(const OpState&) = delete;
  OpState& operator=(const OpState&) = delete;
  ~OpState();

  OpKind kind;
  // Arguments.
  File file;
  int fd = -1;
  std::string path;  // Open: NUL-terminated by std::string
  int flags = 0;
  mode_t mode = 0;
  std::uint64_t offset = 0;
  std::uint8_t* buf = nullptr;  // Read target or Write source
  std::size_t len = 0;
  bool data_only = false;
  UniqueFd to_close;  // Close: closed here if the operation never ran
  Job call;           // Call: the job, released on the pool thread once run
  // The *At kinds: `path` from `dir_fd`, and for the two-name ones `path2`
  // from `dir_fd2` (SymlinkAt: `path2` is the link's contents). `at_flags`
  // are the AT_* flags of the call.
  int dir_fd = -1;
  int dir_fd2 = -1;
  std::string path2;
  int at_flags = 0;
  // Pins: memory the operation owns while in flight.
  std::vector<std::uint8_t> owned_read;
  Payload owned_write;
  struct statx stx {};  // Stat, StatAt
  // Result: >= 0 success (a count, a descriptor), < 0 a negated errno.
  std::int64_t res = 0;
  std::uint64_t size = 0;  // Stat
  bool done = false;  // ran and `res` holds its outcome
  bool fd_claimed = false;  // Open: the new descriptor was wrapped in a File
  std::coroutine_handle<> waiter;
  // Set by a caller that may give the operation up: once `*cancel` holds,
  // Runtime::abort_cancelled asks the kernel to abort it (an open waiting
  // for a FIFO's other end, a read waiting on a pipe would otherwise never
  // answer). It then answers -ECANCELED, or whatever it had already done.
  std::shared_ptr<const bool> cancel;
  bool abort_sent = false;

  // Performs the operation with plain system calls, on a pool thread.
  void run_blocking() noexcept;
};

}  // namespace kestrelio::runtime
