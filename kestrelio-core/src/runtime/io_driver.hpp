#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "kestrelio/driver.hpp"
#include "runtime/blocking_pool.hpp"
#include "runtime/cross_wake.hpp"
#include "runtime/op_state.hpp"

namespace kestrelio::runtime {

using OpPtr = std::shared_ptr<OpState>;

// Operations finished off the runtime thread (by the pool), waiting for the
// runtime to pick them up. The mutex is the hand-over point that makes the
// pool thread's writes to an OpState visible to the runtime thread.
class RemoteQueue {
 public:
  explicit RemoteQueue(CrossWake& wake) noexcept : wake_(wake) {}
  // Any thread. Moves the last foreign reference in, so an OpState is never
  // freed on a pool thread.
  void post(OpPtr op) {
    {
      std::lock_guard<std::mutex> g(m_);
      done_.push_back(std::move(op));
    }
    wake_.wake();
  }
  void take(std::vector<OpPtr>& out) {
    std::lock_guard<std::mutex> g(m_);
    for (auto& op : done_) out.push_back(std::move(op));
    done_.clear();
  }

 private:
  CrossWake& wake_;
  std::mutex m_;
  std::vector<OpPtr> done_;
};

// Runs `op` on the pool; its completion comes back through `remote`.
inline void offload(BlockingPool& pool, RemoteQueue& remote, OpPtr op) {
  pool.execute([op = std::move(op), &remote]() mutable {
    op->run_blocking();
    remote.post(std::move(op));
  });
}

// How operations reach the kernel. Both drivers share the runtime's pool,
// remote queue and cross-thread wake, which they are given at creation.
class IoDriver {
 public:
  virtual ~IoDriver() = default;
  virtual RuntimeDriverType type() const noexcept = 0;
  virtual void submit(OpPtr op) = 0;
  // Appends finished operations to `done`. With `block`, first sleeps until
  // a completion arrives or the cross-thread wake fires.
  virtual void poll(bool block, std::vector<OpPtr>& done) = 0;
  // Whether a completion is waiting to be reaped, without a system call.
  virtual bool completions_ready() const noexcept { return false; }
  // See Runtime::completion_fd.
  virtual int completion_fd() const noexcept { return -1; }
  // Operations submitted and not yet reaped (the pool's are counted by the
  // runtime through its remote queue).
  virtual std::size_t in_flight() const noexcept { return 0; }
  // Transfers handed to the kernel's workers by the async threshold.
  virtual std::uint64_t forced_async() const noexcept { return 0; }
  // Cancels what the kernel still holds and reaps every completion; after it
  // returns the kernel touches no memory of any operation.
  virtual void shutdown() = 0;
  // Asks the kernel to abort the operations in flight whose cancel flag is
  // set (OpState::cancel), once each; they answer through poll as usual.
  // Drivers that cannot abort a running operation let it finish.
  virtual void abort_cancelled() {}
};

}  // namespace kestrelio::runtime
