#pragma once

#include "runtime/io_driver.hpp"

namespace kestrelio::runtime {

// Every file operation runs as a blocking call on the pool; the runtime
// sleeps in poll(2) on the cross-thread eventfd, which pool completions ring.
class PollDriver final : public IoDriver {
 public:
  PollDriver(BlockingPool& pool, RemoteQueue& remote, CrossWake& wake) noexcept
      : pool_(pool), remote_(remote), wake_(wake) {}
  RuntimeDriverType type() const noexcept override { return RuntimeDriverType::Polling; }
  void submit(OpPtr op) override { offload(pool_, remote_, std::move(op)); }
  void poll(bool block, std::vector<OpPtr>& done) override;
  // Pool jobs are waited for by the pool's own shutdown.
  void shutdown() override {}

 private:
  BlockingPool& pool_;
  RemoteQueue& remote_;
  CrossWake& wake_;
};

}  // namespace kestrelio::runtime
