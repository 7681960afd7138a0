#pragma once

#include <deque>
#include <memory>
#include <mutex>

#include "runtime/io_driver.hpp"

namespace kestrelio::runtime {

// Pool work that must reach the kernel in the order it was submitted (the
// appending writes of one file). Independent pool jobs may run in any order
// on the pool's threads, so a lane hands its operations to one job at a time,
// which works through them in order; a burst costs one hand-off.
class OrderedLane {
 public:
  OrderedLane() = default;
  OrderedLane(const OrderedLane&) = delete;
  OrderedLane& operator=(const OrderedLane&) = delete;

  // Runtime thread. `op` runs on the pool after every operation submitted to
  // this lane before it; its completion comes back through `remote`.
  void submit(BlockingPool& pool, RemoteQueue& remote, OpPtr op);

 private:
  // Shared with the pool job serving the lane, which may outlive the lane.
  struct Shared {
    std::mutex m;
    std::deque<OpPtr> queue;  // waiting for their turn, oldest first
    bool serving = false;     // a pool job is working through `queue`
  };
  static void serve(const std::shared_ptr<Shared>& s, RemoteQueue& remote);

  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

}  // namespace kestrelio::runtime
