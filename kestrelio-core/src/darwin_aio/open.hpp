#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
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

// An open in progress; travels to a helper and back.
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
  PendingOpen pending;
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

// A message on the opened channel.
struct Opened {
  Expected<OpenedFile> result;
  PendingOpen pending;
};

// open(2) with the flags that the six options map to (always O_CLOEXEC).
Expected<UniqueFd> open_raw(Sys& sys, const std::string& path, const OpenOptions& options);
// open_raw, plus the size from fstat unless the follow-up is a whole-file write.
Expected<OpenedFile> open_for(Sys& sys, const std::string& path, const OpenOptions& options, const AfterOpen& after);
// The size field of fstat, or its errno.
Expected<std::uint64_t> fd_size(Sys& sys, int fd);

}  // namespace kestrelio::darwin_aio
