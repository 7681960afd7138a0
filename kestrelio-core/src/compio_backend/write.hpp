#pragma once

#include <cstdint>
#include <variant>

#include "kestrelio/expected.hpp"
#include "kestrelio/op.hpp"
#include "runtime/file.hpp"
#include "runtime/task.hpp"

namespace kestrelio::compio_backend {

inline constexpr const char* kWriteZero = "failed to write whole buffer";
inline constexpr const char* kAppendCancelled = "append task cancelled";

using Status = Expected<std::monostate>;

// Positional writes from `pos` until every byte of `data` is written; the
// payload is released when it returns.
runtime::Task<Status> write_all(const runtime::File& file, std::uint64_t pos, Payload data);

// The appending write: plain write(2) calls on the pool, so O_APPEND puts the
// bytes at the end of the file. The appends of one file reach the kernel in
// the order they were called, one after another. The caller keeps the File
// alive meanwhile. Answers the descriptor's offset right after the last byte,
// where this append ended: read in the same job, before the next append of
// the file can move the end.
runtime::Task<Expected<std::uint64_t>> append_all(const runtime::File& file, Payload data);

}  // namespace kestrelio::compio_backend
