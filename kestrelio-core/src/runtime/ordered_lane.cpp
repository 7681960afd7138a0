#include "runtime/ordered_lane.hpp"

#include <algorithm>
#include <utility>

#include "kestrelio/spin_wait.hpp"

namespace kestrelio::runtime {

namespace {
// After this many watches in vain, the lane watches once in 2^kMaxMisses chances.
constexpr unsigned kMaxMisses = 4;
}  // namespace

void OrderedLane::submit(BlockingPool& pool, RemoteQueue& remote, OpPtr op, bool watch) {
  {
    std::lock_guard<std::mutex> g(shared_->m);
    shared_->queue.push_back(std::move(op));
    shared_->watch = watch;
    shared_->queued.store(true, std::memory_order_release);
    if (shared_->serving) return;  // the running job will get to it
    shared_->serving = true;
  }
  pool.execute([s = shared_, &remote] { serve(s, remote); });
}

void OrderedLane::serve(const std::shared_ptr<Shared>& s, RemoteQueue& remote) {
  bool watched = false;
  for (;;) {
    OpPtr op;
    {
      std::unique_lock<std::mutex> g(s->m);
      if (s->queue.empty() && s->watch && !watched) {
        // An appending task usually sends its next write as soon as it has
        // the answer: watch for it for about what a new hand-off to the pool
        // would cost both threads, so a steady stream keeps one job serving.
        watched = true;
        if (s->skip > 0) {
          --s->skip;
        } else {
          g.unlock();
          bool seen = spin_until([&] { return s->queued.load(std::memory_order_acquire); });
          g.lock();
          s->misses = seen ? 0 : std::min(s->misses + 1, kMaxMisses);
          s->skip = (1u << s->misses) - 1;
        }
      }
      if (s->queue.empty()) {
        s->serving = false;
        return;
      }
      watched = false;
      op = std::move(s->queue.front());
      s->queue.pop_front();
      s->queued.store(!s->queue.empty(), std::memory_order_release);
    }
    op->run_blocking();
    remote.post(std::move(op));
  }
}

}  // namespace kestrelio::runtime
