#pragma once

#include "kestrelio/channel.hpp"
#include "kestrelio/msg.hpp"
#include "runtime/task.hpp"

namespace kestrelio::compio_backend {

// The receive loop: turns every Submit into a detached task on the current
// runtime and every Cancel into a flag, until the channel disconnects.
runtime::Task<void> run(Receiver<Msg> msgs);

}  // namespace kestrelio::compio_backend
