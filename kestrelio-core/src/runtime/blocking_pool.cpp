#include "runtime/blocking_pool.hpp"

#include <condition_variable>
#include <deque>
#include <mutex>

#include "thread.hpp"

namespace kestrelio::runtime {

// Threads hold the shared state by reference count, so a thread that is still
// unlocking the mutex on its way out never touches freed memory.
struct BlockingPool::Shared {
  PoolOptions options;
  mutable std::mutex m;
  std::condition_variable work_cv;   // idle threads wait for jobs here
  std::condition_variable state_cv;  // shutdown waits for threads here
  std::deque<Job> queue;
  std::size_t live = 0;
  std::size_t idle = 0;
  bool stopping = false;
};

BlockingPool::BlockingPool(PoolOptions options) : shared_(std::make_shared<Shared>()) {
  shared_->options = std::move(options);
  if (shared_->options.max_threads == 0) shared_->options.max_threads = 1;
}

BlockingPool::~BlockingPool() { shutdown(); }

void BlockingPool::execute(Job job) {
  std::unique_lock<std::mutex> g(shared_->m);
  if (shared_->stopping) {
    g.unlock();
    job();  // late work at teardown: do it here rather than lose it
    return;
  }
  shared_->queue.push_back(std::move(job));
  if (shared_->idle > 0) {
    shared_->work_cv.notify_one();
    return;
  }
  if (shared_->live >= shared_->options.max_threads) return;
  ++shared_->live;
  g.unlock();
  auto err = spawn_detached("kestrelio-pool", [s = shared_] { thread_main(s); });
  if (!err) return;
  g.lock();
  --shared_->live;
  if (shared_->live > 0) return;  // a running thread will get to it
  Job orphan = std::move(shared_->queue.back());
  shared_->queue.pop_back();
  g.unlock();
  orphan();
}

void BlockingPool::thread_main(const std::shared_ptr<Shared>& s) {
  std::unique_lock<std::mutex> g(s->m);
  for (;;) {
    if (s->queue.empty() && !s->stopping) {
      ++s->idle;
      // Waits for work; a thread that had none for idle_timeout leaves.
      bool got = s->work_cv.wait_for(g, s->options.idle_timeout, [&] { return !s->queue.empty() || s->stopping; });
      --s->idle;
      if (!got) break;
    }
    if (s->queue.empty()) break;  // stopping
    Job job = std::move(s->queue.front());
    s->queue.pop_front();
    g.unlock();
    if (s->options.job_hook) s->options.job_hook();
    job();
    job = Job();  // the job's own resources go before we report idle
    g.lock();
  }
  --s->live;
  s->state_cv.notify_all();
}

void BlockingPool::shutdown() {
  std::deque<Job> dropped;
  {
    std::unique_lock<std::mutex> g(shared_->m);
    shared_->stopping = true;
    dropped.swap(shared_->queue);
    shared_->work_cv.notify_all();
    // Blocks until running jobs return: they may be writing lent memory.
    shared_->state_cv.wait(g, [&] { return shared_->live == 0; });
  }
  // `dropped` is destroyed here, on the owner's thread, outside the lock.
}

std::size_t BlockingPool::live_threads() const {
  std::lock_guard<std::mutex> g(shared_->m);
  return shared_->live;
}

}  // namespace kestrelio::runtime
