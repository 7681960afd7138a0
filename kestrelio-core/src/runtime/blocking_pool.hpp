#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

#include "runtime/job.hpp"

namespace kestrelio::runtime {

struct PoolOptions {
  std::size_t max_threads = 4;
  // How long a thread with nothing to do waits before it exits.
  std::chrono::milliseconds idle_timeout{10000};
  // Runs on the pool thread before every job; tests use it to hold a job back.
  std::function<void()> job_hook;
};

// A few threads ("kestrelio-pool") for work that may block. Threads start on
// demand up to max_threads and leave after idle_timeout without work.
class BlockingPool {
 public:
  explicit BlockingPool(PoolOptions options);
  BlockingPool(const BlockingPool&) = delete;
  BlockingPool& operator=(const BlockingPool&) = delete;
  ~BlockingPool();

  // Queues `job`. If no thread can be started and none is alive the job runs
  // here, so it is never lost.
  void execute(Job job);
  // Drops the jobs not yet started (on this thread) and waits until every
  // running job has returned and every thread has left. After this no pool
  // thread touches memory lent to a job.
  void shutdown();

  std::size_t live_threads() const;

 private:
  struct Shared;
  static void thread_main(const std::shared_ptr<Shared>& shared);
  std::shared_ptr<Shared> shared_;
};

}  // namespace kestrelio::runtime
