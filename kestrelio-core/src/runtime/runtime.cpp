#include "runtime/runtime.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "kestrelio/spin_wait.hpp"
#include "runtime/poll_driver.hpp"
#include "runtime/test_hooks.hpp"
#if KESTRELIO_HAVE_URING
#include "runtime/uring_driver.hpp"
#endif

namespace kestrelio::runtime {

namespace {
thread_local Runtime* t_current = nullptr;
}

void detail::PromiseBase::finish_detached(Runtime* rt, std::coroutine_handle<> h) noexcept {
  // Nobody awaits a detached task, so its exception would vanish unseen.
  if (std::coroutine_handle<PromiseBase>::from_address(h.address()).promise().exception) {
    std::fputs("kestrelio: a detached task ended with an exception\n", stderr);
  }
  rt->forget_root(h);
}

Expected<std::unique_ptr<Runtime>> Runtime::create(RuntimeOptions options) {
  auto rt = std::make_unique<Runtime>(Key{});
  if (auto opened = rt->wake_.open(); !opened) return opened.error();
  // Read by the thread's own selector, never by the ring: it must not block.
  if (options.external_wait && ::fcntl(rt->wake_.fd(), F_SETFL, O_NONBLOCK) != 0) return IoError::last_os();
  rt->pool_ = std::make_unique<BlockingPool>(std::move(options.pool));
  rt->external_wait_ = options.external_wait;
#if KESTRELIO_HAVE_URING
  if (options.driver != RuntimeDriverChoice::Polling) {
    auto uring = UringDriver::create(options.ring_entries, *rt->pool_, rt->remote_, rt->wake_, options.external_wait,
                                     options.async_threshold);
    if (uring) {
      rt->driver_ = std::move(uring).value();
      rt->whole_reads_.to_pool_from = options.whole_reads_to_pool;
    } else if (options.driver == RuntimeDriverChoice::IoUring) {
      return uring.error();
    }
  }
#else
  // Built without liburing: a forced io_uring fails as on a kernel without it.
  if (options.driver == RuntimeDriverChoice::IoUring) {
    int e = testing::ring_setup_failure();
    return IoError::os(e ? e : ENOSYS);
  }
#endif
  if (!rt->driver_) rt->driver_ = std::make_unique<PollDriver>(*rt->pool_, rt->remote_, rt->wake_);
  rt->previous_ = t_current;
  t_current = rt.get();
  return rt;
}

Runtime::~Runtime() {
  tearing_down_ = true;
  ready_.clear();
  // Order matters: first the kernel gives back every buffer (cancelled or
  // finished), then running pool jobs return; only then are task frames, and
  // with them ReplyFns and file references, destroyed. A caller's Raw memory
  // is therefore never written after this destructor returns, and no pool job
  // sees its descriptor closed under it.
  if (driver_) driver_->shutdown();
  if (pool_) pool_->shutdown();
  std::vector<OpPtr> late;
  remote_.take(late);
  late.clear();
  std::vector<void*> roots(roots_.begin(), roots_.end());
  roots_.clear();
  for (void* frame : roots) std::coroutine_handle<>::from_address(frame).destroy();
  ready_.clear();
  driver_.reset();
  pool_.reset();
  if (t_current == this) t_current = previous_;
}

Runtime& Runtime::current() noexcept {
  if (!t_current) {
    std::fputs("kestrelio: runtime operation on a thread without a runtime\n", stderr);
    std::abort();
  }
  return *t_current;
}

void Runtime::spawn(Task<void> task) {
  auto h = task.release();
  h.promise().detached_on = this;
  roots_.insert(h.address());
  schedule(h);
}

void Runtime::forget_root(std::coroutine_handle<> h) noexcept {
  roots_.erase(h.address());
  h.destroy();
}

void Runtime::schedule(std::coroutine_handle<> h) {
  if (tearing_down_ || !h) return;
  ready_.push_back(h);
}

std::size_t Runtime::run_ready_once() {
  std::size_t n = ready_.size();
  for (std::size_t i = 0; i < n && !ready_.empty(); ++i) {
    auto h = ready_.front();
    ready_.pop_front();
    h.resume();
  }
  return n;
}

void Runtime::submit(OpPtr op) { driver_->submit(std::move(op)); }

void Runtime::finish(std::vector<OpPtr>& done) {
  for (auto& op : done) {
    op->done = true;
    if (op->waiter) schedule(std::exchange(op->waiter, {}));
  }
  done.clear();
}

void Runtime::take_remote() {
  remote_.take(done_scratch_);
  finish(done_scratch_);
  // A waiter may remove itself while being polled; walk a copy.
  std::vector<RemoteWaiter*> waiters = remote_waiters_;
  for (RemoteWaiter* w : waiters) {
    if (std::find(remote_waiters_.begin(), remote_waiters_.end(), w) != remote_waiters_.end()) w->on_remote_wake();
  }
}

void Runtime::turn() {
  driver_->poll(false, done_scratch_);
  finish(done_scratch_);
  if (wake_.take_notified()) take_remote();
  if (!ready_.empty()) return;
  // Work that arrives within the spin is taken by the next turn, and its
  // sender never has to write the eventfd.
  if (spin_until([&] { return wake_.pending() || driver_->completions_ready(); })) return;
  if (!wake_.try_park()) {
    take_remote();
    return;
  }
  driver_->poll(true, done_scratch_);
  bool woken = wake_.unpark();
  finish(done_scratch_);
  if (woken) take_remote();
}

std::size_t Runtime::run_ready(std::size_t max) {
  std::size_t n = 0;
  while (n < max && !ready_.empty()) {
    auto h = ready_.front();
    ready_.pop_front();
    h.resume();
    ++n;
  }
  return n;
}

void Runtime::pump() {
  driver_->poll(false, done_scratch_);
  finish(done_scratch_);
  if (wake_.take_notified()) take_remote();
}

bool Runtime::park() {
  if (wake_.try_park()) return true;
  take_remote();
  return false;
}

void Runtime::unpark() {
  // A wake from now on only flips the state, which pump() and park() see.
  if (wake_.unpark()) take_remote();
}

bool Runtime::io_pending() const noexcept { return driver_->in_flight() > 0; }

void Runtime::add_remote_waiter(RemoteWaiter* w) { remote_waiters_.push_back(w); }

void Runtime::remove_remote_waiter(RemoteWaiter* w) {
  remote_waiters_.erase(std::remove(remote_waiters_.begin(), remote_waiters_.end(), w), remote_waiters_.end());
}

}  // namespace kestrelio::runtime
