#pragma once

#include "compio_backend/spawn.hpp"
#include "runtime/runtime.hpp"

namespace kestrelio::compio_backend {

// What spawn does, with the runtime's options spelled out (tests pass pool
// hooks through here): build the runtime, report, serve until disconnection,
// then drop the runtime.
void serve(Receiver<Msg> msgs, Sender<Startup> startup, runtime::RuntimeOptions options);

}  // namespace kestrelio::compio_backend
