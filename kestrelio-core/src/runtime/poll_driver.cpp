#include "runtime/poll_driver.hpp"

#include <poll.h>

namespace kestrelio::runtime {

void PollDriver::poll(bool block, std::vector<OpPtr>&) {
  if (!block) return;
  struct pollfd p {};
  p.fd = wake_.fd();
  p.events = POLLIN;
  // Sleeps until a pool completion or a channel send rings the eventfd; an
  // EINTR just returns to the runtime loop, which checks again.
  if (::poll(&p, 1, -1) > 0) wake_.drain();
}

}  // namespace kestrelio::runtime
