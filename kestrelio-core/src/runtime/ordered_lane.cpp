#include "runtime/ordered_lane.hpp"

#include <utility>

namespace kestrelio::runtime {

void OrderedLane::submit(BlockingPool& pool, RemoteQueue& remote, OpPtr op) {
  {
    std::lock_guard<std::mutex> g(shared_->m);
    shared_->queue.push_back(std::move(op));
    if (shared_->serving) return;  // the running job will get to it
    shared_->serving = true;
  }
  pool.execute([s = shared_, &remote] { serve(s, remote); });
}

void OrderedLane::serve(const std::shared_ptr<Shared>& s, RemoteQueue& remote) {
  for (;;) {
    OpPtr op;
    {
      std::lock_guard<std::mutex> g(s->m);
      if (s->queue.empty()) {
        s->serving = false;
        return;
      }
      op = std::move(s->queue.front());
      s->queue.pop_front();
    }
    op->run_blocking();
    remote.post(std::move(op));
  }
}

}  // namespace kestrelio::runtime
