#pragma once

#include <memory>

#include "kestrelio/driver.hpp"

namespace kestrelio::loop_ring {

// The Driver's side of the loop backend: each operation is spawned on the
// submitting thread's runtime, each cancel reaches the runtime running it.
std::unique_ptr<LocalExecutor> make_executor();

// Whether the loop backend can run here (io_uring set up and probed).
Expected<bool> available();

}  // namespace kestrelio::loop_ring
