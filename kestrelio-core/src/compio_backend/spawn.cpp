#include "compio_backend/spawn.hpp"

#include <cerrno>

namespace kestrelio::compio_backend {

// Placeholder until the runtime lands: the backend reports that it cannot start.
void spawn(Receiver<Msg> msgs, Sender<Startup> startup, DriverOptions) {
  (void)startup.send(Startup(IoError::os(ENOSYS)));
  msgs.reset();
}

}  // namespace kestrelio::compio_backend
