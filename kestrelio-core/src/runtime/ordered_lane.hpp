#pragma once

#include <atomic>
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
  // this lane before it; its completion comes back through `remote`. With
  // `watch`, the job that served it watches briefly for the lane's next
  // operation before it returns to the pool: for a runtime thread that never
  // watches for work itself, and so leaves the second core free for it.
  void submit(BlockingPool& pool, RemoteQueue& remote, OpPtr op, bool watch = false);

 private:
  // Shared with the pool job serving the lane, which may outlive the lane.
  struct Shared {
    std::mutex m;
    std::deque<OpPtr> queue;  // waiting for their turn, oldest first
    bool serving = false;     // a pool job is working through `queue`
    bool watch = false;       // as the last submit asked
    // Watches that saw nothing in a row, and how many chances to watch to
    // let pass before the next: a lane fed in bursts spaced wider than the
    // watch stops paying for it.
    unsigned misses = 0;
    unsigned skip = 0;
    std::atomic<bool> queued{false};  // `queue` is not empty, for the serving job to watch unlocked
  };
  static void serve(const std::shared_ptr<Shared>& s, RemoteQueue& remote);

  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

}  // namespace kestrelio::runtime
