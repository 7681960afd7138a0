#pragma once

#include "kestrelio/driver.hpp"

namespace kestrelio::compio_backend {

using Startup = Expected<RuntimeDriverType>;

// Body of the thread "kestrelio-compio": builds the runtime, reports its
// driver type (or the error that stopped it) once on `startup`, then serves
// `msgs` until the channel disconnects.
void spawn(Receiver<Msg> msgs, Sender<Startup> startup, DriverOptions options);

}  // namespace kestrelio::compio_backend
