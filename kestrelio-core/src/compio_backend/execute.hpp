#pragma once

#include <optional>

#include "compio_backend/state.hpp"
#include "kestrelio/op.hpp"
#include "kestrelio/reply.hpp"
#include "runtime/task.hpp"

namespace kestrelio::compio_backend {

// Carries out one operation as plain sequential steps on the runtime and
// yields its result. `new_handle` is the number taken on arrival for Open and
// ReadFile. Throws InvariantFault when that number is missing.
runtime::Task<OpResult> execute(std::optional<HandleId> new_handle, Op op, Files files, CancelFlag cancelled);

}  // namespace kestrelio::compio_backend
