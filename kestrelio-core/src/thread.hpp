#pragma once

#include <functional>
#include <optional>

#include "kestrelio/io_error.hpp"

namespace kestrelio {

// Starts a detached thread with the given name running `body`. Returns the
// operating system's error when the thread cannot be started; `body` is then
// destroyed on the calling thread.
std::optional<IoError> spawn_detached(const char* name, std::function<void()> body);

}  // namespace kestrelio
