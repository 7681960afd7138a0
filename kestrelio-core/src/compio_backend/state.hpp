#pragma once

#include <memory>
#include <optional>
#include <unordered_map>

#include "kestrelio/expected.hpp"
#include "kestrelio/msg.hpp"
#include "runtime/file.hpp"

namespace kestrelio::compio_backend {

// The open handles of this backend. Shared by reference count between the
// receive loop and the tasks; touched only on the runtime thread, and never
// across a wait, so it needs no lock.
using FileTable = std::unordered_map<HandleId, runtime::File>;
using Files = std::shared_ptr<FileTable>;

// Set by the loop on Cancel, read by execute. One per operation in flight.
using CancelFlag = std::shared_ptr<bool>;
using CancelFlags = std::shared_ptr<std::unordered_map<OpId, CancelFlag>>;

// A broken internal invariant of one task ("open allocates an id"): the task
// ends without replying, the thread and the other tasks go on.
struct InvariantFault {
  const char* message;
};

inline constexpr const char* kOpenAllocatesId = "open allocates an id";
inline constexpr const char* kReadFileAllocatesId = "read_file allocates an id";

// A new reference to the open file `handle`, kept by the caller for as long
// as its operation runs, or InvalidInput "unknown or closed kestrelio handle".
Expected<runtime::File> lookup(const FileTable& files, HandleId handle);

}  // namespace kestrelio::compio_backend
