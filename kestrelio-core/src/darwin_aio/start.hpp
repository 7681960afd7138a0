#pragma once

#include <optional>

#include "kestrelio/driver.hpp"

namespace kestrelio::darwin_aio {

// Open helpers for a machine with `processors` online processors: a third of
// them, at least 2 and at most 4; 2 when the count is unknown (0).
unsigned open_helper_count(long processors) noexcept;

// Creates the helper-job and opened channels, starts the "kestrelio-open"
// helpers and then the "kestrelio-aio" driver thread, all detached. On a
// failure to start a thread, returns the system's error; threads already
// started see their channels disconnect and end.
std::optional<IoError> start(Receiver<Msg> msgs, const DriverOptions& options);

}  // namespace kestrelio::darwin_aio
