#pragma once

#include <optional>

#include "compio_backend/state.hpp"
#include "kestrelio/op.hpp"
#include "kestrelio/reply.hpp"
#include "runtime/task.hpp"

namespace kestrelio::compio_backend {

inline constexpr const char* kMetaNotRun = "metadata operation did not run";

// A metadata operation: stat, rename, unlink, rmdir, mkdir, symlink and link
// on the ring where it offers them, the rest (and those where it does not)
// as one job on the pool.
runtime::Task<OpResult> execute_meta(MetaOp op);

// Enters the caller's descriptor into the table under `new_handle`, once
// fstat has shown it open; answers Handle like Open.
runtime::Task<OpResult> adopt(std::optional<HandleId> new_handle, op::Adopt a, Files files);

}  // namespace kestrelio::compio_backend
