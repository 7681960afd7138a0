#include "loop_ring/loop_runtime.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>

namespace kestrelio::loop_ring {

namespace {

// Transfers at least this long go to the kernel's workers: tried inline,
// a cached 64 MiB read would copy for milliseconds on the loop's thread,
// while below this the copy costs less than the hand-off.
constexpr std::size_t kAsyncThreshold = std::size_t{128} << 10;
// Task resumes per drive: each may reply, and every reply is settled on the
// loop before it goes back to its other callbacks. A read of cold pages
// costs the loop's thread about 7 us inside io_uring_enter (the kernel
// starts the device I/O there), so 64 keeps a drive near half a millisecond
// even when one call submits a batch of a thousand; at 256 such a batch held
// the loop for 3-4 ms. Steady traffic of 64 in flight moves as fast either way.
constexpr std::size_t kDefaultDriveBudget = 64;
// Whole-file reads in progress from which a further one is one pool job (a
// thread beside the loop's) rather than ring operations on the loop's thread.
constexpr std::size_t kWholeReadsToPool = 4;
std::atomic<std::size_t> g_drive_budget{kDefaultDriveBudget};

// Every live runtime of this process, for cancels sent from another thread.
// A forked child starts with an empty one: the parent's threads are not
// there, and this mutex may have been held by one of them.
struct Registry {
  std::mutex mutex;
  std::vector<LoopRuntime*> live;
};
std::atomic<Registry*> g_registry{nullptr};

// getpid is a system call on every use otherwise; the id changes only
// across fork, whose child handler sets it before any code runs there.
std::atomic<pid_t> g_pid{0};

void in_child() noexcept {
  g_registry.store(new Registry, std::memory_order_relaxed);
  g_pid.store(getpid(), std::memory_order_relaxed);
}

void set_up_once() {
  static const bool made = [] {
    g_registry.store(new Registry, std::memory_order_relaxed);
    g_pid.store(getpid(), std::memory_order_relaxed);
    pthread_atfork(nullptr, nullptr, in_child);
    return true;
  }();
  (void)made;
}

Registry& registry() {
  set_up_once();
  return *g_registry.load(std::memory_order_relaxed);
}

pid_t current_pid() noexcept {
  set_up_once();
  return g_pid.load(std::memory_order_relaxed);
}

std::shared_ptr<std::atomic<HandleId>> handle_counter() {
  // Shared by every thread's book and never reset, not even in a forked
  // child: its numbers stay unique within each process.
  static auto* counter = new std::shared_ptr<std::atomic<HandleId>>(std::make_shared<std::atomic<HandleId>>(1));
  return *counter;
}

// The thread's runtime. Destroyed at thread exit only when nothing is in
// flight and only in the process that made it.
struct Holder {
  LoopRuntime* rt = nullptr;
  ~Holder() {
    if (!rt || rt->pid() != current_pid()) return;
    if (rt->idle()) delete rt;
    else {
      // Leaked: the kernel or the pool may still write memory its tasks
      // lent. Unlisted so no cancel reaches it.
      Registry& r = registry();
      std::lock_guard<std::mutex> g(r.mutex);
      r.live.erase(std::remove(r.live.begin(), r.live.end(), rt), r.live.end());
    }
    rt = nullptr;
  }
};
thread_local Holder t_holder;

}  // namespace

LoopRuntime::LoopRuntime(std::unique_ptr<runtime::Runtime> rt)
    : rt_(std::move(rt)), book_(handle_counter()), pid_(current_pid()) {}

LoopRuntime::~LoopRuntime() {
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.mutex);
    r.live.erase(std::remove(r.live.begin(), r.live.end(), this), r.live.end());
  }
  rt_.reset();
}

LoopRuntime* LoopRuntime::existing() noexcept {
  LoopRuntime* rt = t_holder.rt;
  return rt && rt->pid_ == current_pid() ? rt : nullptr;
}

Expected<LoopRuntime*> LoopRuntime::for_this_thread() {
  if (LoopRuntime* rt = existing()) return rt;
  // A forked child's copy of the parent's runtime is dropped unused: its
  // destructor would cancel the parent's operations on the shared ring.
  t_holder.rt = nullptr;
  runtime::RuntimeOptions options;
  options.external_wait = true;
  options.async_threshold = kAsyncThreshold;
  options.whole_reads_to_pool = kWholeReadsToPool;
  auto made = runtime::Runtime::create(std::move(options));
  if (!made) return made.error();
  auto* rt = new LoopRuntime(std::move(made).value());
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.mutex);
    r.live.push_back(rt);
  }
  t_holder.rt = rt;
  return rt;
}

void LoopRuntime::cancel_anywhere(OpId id) {
  LoopRuntime* here = existing();
  if (here && here->book_.cancel(id)) {
    // The next drive sends the abort; a future's cancel comes from outside
    // one, so the wake fd calls for it.
    here->rt_->abort_cancelled();
    here->rt_->cross_wake().ring();
    return;
  }
  // Ids are unique in the process, so every other runtime may be told: only
  // the one running the operation finds it.
  Registry& r = registry();
  std::lock_guard<std::mutex> g(r.mutex);
  for (LoopRuntime* rt : r.live) {
    if (rt != here) rt->post_cancel(id);
  }
}

void LoopRuntime::post_cancel(OpId id) {
  {
    std::lock_guard<std::mutex> g(posted_mutex_);
    posted_cancels_.push_back(id);
  }
  has_posted_.store(true, std::memory_order_release);
  rt_->cross_wake().wake();
}

void LoopRuntime::take_posted_cancels() {
  if (!has_posted_.exchange(false, std::memory_order_acquire)) return;
  std::vector<OpId> ids;
  {
    std::lock_guard<std::mutex> g(posted_mutex_);
    ids.swap(posted_cancels_);
  }
  bool any = false;
  for (OpId id : ids) any = book_.cancel(id) || any;
  if (any) rt_->abort_cancelled();  // sent by the drive that took them
}

bool LoopRuntime::request_flush(const void* owner, bool again) noexcept {
  if (flush_owner_ != owner) {
    flushes_queued_ = 0;
    flush_owner_ = owner;
  }
  if (flushes_queued_ > 0 && !again) return false;
  ++flushes_queued_;
  return true;
}

bool LoopRuntime::drive(DriveCause cause) {
  ++drives_;
  if (cause == DriveCause::Flush && flushes_queued_ > 0) --flushes_queued_;
  // The fd is emptied whenever it woke us: a wake's write may land after
  // the state it set has already been taken.
  if (cause == DriveCause::Wake) rt_->cross_wake().drain();
  rt_->unpark();
  take_posted_cancels();
  std::size_t budget = g_drive_budget.load(std::memory_order_relaxed);
  for (;;) {
    budget -= rt_->run_ready(budget);
    // One submission for everything the tasks prepared, then the reaping
    // (cached reads often complete within that very call).
    rt_->pump();
    take_posted_cancels();
    if (rt_->has_ready()) {
      if (budget == 0) return true;  // left running: the next drive is already due
      continue;
    }
    if (rt_->park()) return false;
    // A wake came first; its work has been taken and we are running again.
  }
}

Stats LoopRuntime::stats() const noexcept {
  Stats s;
  s.drives = drives_;
  s.forced_async = rt_->forced_async();
  s.tasks = book_.pending();
  s.ring = rt_->driver_type() == RuntimeDriverType::IoUring;
  return s;
}

Expected<ThreadFds> thread_fds(const void** token) {
  auto rt = LoopRuntime::for_this_thread();
  if (!rt) return rt.error();
  if (token) *token = rt.value();
  return rt.value()->fds();
}

bool request_flush(const void* owner, bool again) noexcept {
  LoopRuntime* rt = LoopRuntime::existing();
  return rt && rt->request_flush(owner, again);
}

void nudge() noexcept {
  if (LoopRuntime* rt = LoopRuntime::existing()) rt->nudge();
}

bool drive(DriveCause cause) {
  LoopRuntime* rt = LoopRuntime::existing();
  return rt && rt->drive(cause);
}

Stats thread_stats() noexcept {
  LoopRuntime* rt = LoopRuntime::existing();
  return rt ? rt->stats() : Stats{};
}

void set_drive_budget(std::size_t n) noexcept { g_drive_budget.store(n ? n : kDefaultDriveBudget); }

}  // namespace kestrelio::loop_ring
