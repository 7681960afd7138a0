#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "darwin_aio/unique_fd.hpp"
#include "kestrelio/expected.hpp"
#include "kestrelio/op.hpp"
#include "kestrelio/reply_fn.hpp"

namespace kestrelio::darwin_aio {

inline constexpr const char* kPathContainsNul = "path contains NUL";
inline constexpr const char* kOpenNeedsAccess = "open needs read or write access";

// Whether a metadata job has been taken by a helper or cancelled first;
// whichever comes first decides.
struct MetaTicket {
  enum : int { Queued, Taken, Cancelled };
  std::atomic<int> state{Queued};
  ReplyFn reply;  // moved out by the side that moves `state` away from Queued
};

// The six flags of an Open, in this order.
struct OpenOptions {
  bool read = false;
  bool write = false;
  bool append = false;
  bool truncate = false;
  bool create = false;
  bool create_new = false;
};

namespace after_open {
// Register the descriptor as a handle and reply Handle (Open).
struct ReplyHandle {};
// Read the whole file if it has at most `inline_max` bytes, else register it (ReadFile).
struct ReadFileThen {
  std::uint64_t inline_max;
};
// Write `data` from offset 0, then close (WriteFile).
struct WriteFileThen {
  Payload data;
};
}  // namespace after_open

// What to do once a descriptor has been opened.
using AfterOpen = std::variant<after_open::ReplyHandle, after_open::ReadFileThen, after_open::WriteFileThen>;

// An open in progress. Kept by the driver thread while the open itself runs
// elsewhere, so that a cancel can answer at once.
struct PendingOpen {
  AfterOpen after;
  ReplyFn reply;
  OpId op_id;
};

// A freshly opened descriptor and, when the follow-up needs it, its size.
struct OpenedFile {
  UniqueFd fd;
  std::uint64_t size = 0;
};

namespace helper_job {
struct Open {
  std::string path;
  OpenOptions options;
  OpId op_id;
  bool needs_size;  // the follow-up wants the size from fstat
};
// Nothing is sent back; dropping the job unrun still closes the descriptor.
struct Close {
  UniqueFd fd;
};
// A metadata operation, answered by the helper itself.
struct Meta {
  MetaOp op;
  std::shared_ptr<MetaTicket> ticket;
};
}  // namespace helper_job

// A message on the helper-job channel. Meta is defined in meta.hpp.
using HelperJob = std::variant<helper_job::Open, helper_job::Close, helper_job::Meta>;

// A message on the opened channel. Dropped unanswered (its open was
// cancelled meanwhile), it closes the descriptor.
struct Opened {
  Expected<OpenedFile> result;
  OpId op_id;
};

// Whether the follow-up reads the size of the opened file.
bool needs_size(const AfterOpen& after) noexcept;

// open(2) with the flags that the six options map to (always O_CLOEXEC).
Expected<UniqueFd> open_raw(Sys& sys, const std::string& path, const OpenOptions& options);
// open_raw, plus the size from fstat when `with_size`. May wait for ever on a
// FIFO or a device: only threads that wait for nothing else call it.
Expected<OpenedFile> open_for(Sys& sys, const std::string& path, const OpenOptions& options, bool with_size);
// The same open, but one that never waits: nullopt when the path is not a
// regular file or a directory (a FIFO without its other end, a terminal, a
// leased file), whose open is then left to a thread of its own.
std::optional<Expected<OpenedFile>> open_without_waiting(Sys& sys, const std::string& path,
                                                         const OpenOptions& options, bool with_size);
// The size field of fstat, or its errno.
Expected<std::uint64_t> fd_size(Sys& sys, int fd);

}  // namespace kestrelio::darwin_aio
