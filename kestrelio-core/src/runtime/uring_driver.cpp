#include "runtime/uring_driver.hpp"

#include <fcntl.h>

#include <cerrno>
#include <mutex>
#include <utility>

#include "runtime/test_hooks.hpp"

// liburing grew version macros in 2.4 and io_uring_prep_ftruncate in 2.6;
// older headers (Debian 12 ships 2.3) have neither, so truncation then runs
// on the pool whatever the kernel offers.
#if defined(IO_URING_VERSION_MAJOR) && defined(IO_URING_VERSION_MINOR) && \
    (IO_URING_VERSION_MAJOR > 2 || (IO_URING_VERSION_MAJOR == 2 && IO_URING_VERSION_MINOR >= 6))
#define KESTRELIO_HAVE_PREP_FTRUNCATE 1
#else
#define KESTRELIO_HAVE_PREP_FTRUNCATE 0
#endif


namespace kestrelio::runtime {

namespace {

// liburing maps and unmaps the rings with raw system calls, which
// ThreadSanitizer does not see: a new ring placed where an old one (of another
// thread) was would inherit that ring's access history and look racy. The
// kernel orders the unmap before the new map; this lock shows that order.
#if defined(__SANITIZE_THREAD__)
std::mutex g_ring_address_order;
#endif
void ring_mapped() noexcept {
#if defined(__SANITIZE_THREAD__)
  std::lock_guard<std::mutex> g(g_ring_address_order);
#endif
}
void ring_unmapping() noexcept {
#if defined(__SANITIZE_THREAD__)
  std::lock_guard<std::mutex> g(g_ring_address_order);
#endif
}

// Cancel requests carry this; their own completions need no handling.
constexpr std::uint64_t kCancelTag = 0;
// One transfer never asks for more than this; short counts are allowed and
// the callers loop, and the prep helpers take a 32-bit length.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;

unsigned transfer_len(std::size_t len) noexcept { return static_cast<unsigned>(len < kMaxTransfer ? len : kMaxTransfer); }

// The operations on names and the opcodes that carry them.
constexpr std::pair<OpKind, int> kNameOpcodes[] = {
    {OpKind::StatAt, IORING_OP_STATX},       {OpKind::RenameAt, IORING_OP_RENAMEAT},
    {OpKind::UnlinkAt, IORING_OP_UNLINKAT},  {OpKind::MkdirAt, IORING_OP_MKDIRAT},
    {OpKind::SymlinkAt, IORING_OP_SYMLINKAT}, {OpKind::LinkAt, IORING_OP_LINKAT},
};

struct ProbeDeleter {
  void operator()(io_uring_probe* p) const noexcept { io_uring_free_probe(p); }
};

}  // namespace

Expected<bool> UringDriver::probe() {
  BlockingPool pool(PoolOptions{});
  CrossWake wake;
  RemoteQueue remote(wake);
  auto d = create(4, pool, remote, wake, true);
  if (!d) return d.error();
  return true;
}

Expected<std::unique_ptr<UringDriver>> UringDriver::create(unsigned entries, BlockingPool& pool, RemoteQueue& remote,
                                                           CrossWake& wake, bool external_wait,
                                                           std::size_t async_threshold) {
  if (int e = testing::ring_setup_failure()) return IoError::os(e);
  auto d = std::make_unique<UringDriver>(pool, remote, wake);
  d->external_wait_ = external_wait;
  d->async_threshold_ = async_threshold;
  // Only this thread submits, and completions are reaped at our own pace, so
  // the kernel may skip the cross-CPU interrupts; older kernels refuse the
  // flags with EINVAL and get a plain ring.
  unsigned flags = IORING_SETUP_COOP_TASKRUN | IORING_SETUP_SINGLE_ISSUER;
  int r = io_uring_queue_init(entries, &d->ring_, flags);
  if (r == -EINVAL) r = io_uring_queue_init(entries, &d->ring_, 0);
  if (r < 0) return IoError::os(-r);
  d->ring_ready_ = true;
  ring_mapped();
  // A forked child must never see (let alone write) this ring's queues,
  // which it would share with us; without the mapping it cannot.
  if (external_wait) (void)io_uring_ring_dontfork(&d->ring_);

  std::unique_ptr<io_uring_probe, ProbeDeleter> probe(io_uring_get_probe_ring(&d->ring_));
  if (!probe) return IoError::os(EOPNOTSUPP);
  for (int op : {IORING_OP_OPENAT, IORING_OP_READ, IORING_OP_WRITE, IORING_OP_STATX, IORING_OP_FSYNC, IORING_OP_CLOSE,
                 IORING_OP_ASYNC_CANCEL}) {
    if (!io_uring_opcode_supported(probe.get(), op)) return IoError::os(EOPNOTSUPP);
  }
#if KESTRELIO_HAVE_PREP_FTRUNCATE
  d->native_truncate_ = io_uring_opcode_supported(probe.get(), IORING_OP_FTRUNCATE);
#endif
  // The name operations are optional: without one, that kind runs on the pool.
  for (auto [kind, opcode] : kNameOpcodes) {
    if (io_uring_opcode_supported(probe.get(), opcode) && !testing::ring_opcode_hidden(opcode)) {
      d->native_names_ |= name_bit(kind);
    }
  }
  return d;
}

UringDriver::~UringDriver() {
  shutdown();
  if (ring_ready_) {
    ring_unmapping();
    io_uring_queue_exit(&ring_);
  }
}

io_uring_sqe* UringDriver::next_sqe() {
  io_uring_sqe* sqe = io_uring_get_sqe(&ring_);
  if (!sqe) {
    io_uring_submit(&ring_);
    sqe = io_uring_get_sqe(&ring_);
  }
  return sqe;
}

bool UringDriver::prep(io_uring_sqe* sqe, OpState& op) {
  switch (op.kind) {
    case OpKind::Open:
      io_uring_prep_openat(sqe, AT_FDCWD, op.path.c_str(), op.flags, op.mode);
      break;
    case OpKind::Read:
      io_uring_prep_read(sqe, op.fd, op.buf, transfer_len(op.len), op.offset);
      force_async_above_threshold(sqe, op.len);
      break;
    case OpKind::Write:
      io_uring_prep_write(sqe, op.fd, op.buf, transfer_len(op.len), op.offset);
      force_async_above_threshold(sqe, op.len);
      break;
    case OpKind::Stat:
      io_uring_prep_statx(sqe, op.fd, "", AT_EMPTY_PATH, STATX_SIZE, &op.stx);
      break;
    case OpKind::Sync:
      io_uring_prep_fsync(sqe, op.fd, op.data_only ? IORING_FSYNC_DATASYNC : 0);
      break;
    case OpKind::Truncate:
#if KESTRELIO_HAVE_PREP_FTRUNCATE
      io_uring_prep_ftruncate(sqe, op.fd, static_cast<loff_t>(op.offset));
      break;
#else
      return false;
#endif
    case OpKind::Close:
      // The kernel owns the descriptor from here on.
      io_uring_prep_close(sqe, op.to_close.release());
      break;
    case OpKind::Call:
      return false;
    case OpKind::StatAt:
      io_uring_prep_statx(sqe, op.dir_fd, op.path.c_str(), op.at_flags, STATX_BASIC_STATS, &op.stx);
      break;
    case OpKind::RenameAt:
      io_uring_prep_renameat(sqe, op.dir_fd, op.path.c_str(), op.dir_fd2, op.path2.c_str(), 0);
      break;
    case OpKind::UnlinkAt:
      io_uring_prep_unlinkat(sqe, op.dir_fd, op.path.c_str(), op.at_flags);
      break;
    case OpKind::MkdirAt:
      io_uring_prep_mkdirat(sqe, op.dir_fd, op.path.c_str(), op.mode);
      break;
    case OpKind::SymlinkAt:
      io_uring_prep_symlinkat(sqe, op.path2.c_str(), op.dir_fd, op.path.c_str());
      break;
    case OpKind::LinkAt:
      io_uring_prep_linkat(sqe, op.dir_fd, op.path.c_str(), op.dir_fd2, op.path2.c_str(), op.at_flags);
      break;
  }
  io_uring_sqe_set_data(sqe, &op);
  return true;
}

bool UringDriver::native(OpKind kind) const noexcept {
  switch (kind) {
    case OpKind::Call:
      return false;
    case OpKind::Truncate:
      return native_truncate_;
    case OpKind::StatAt:
    case OpKind::RenameAt:
    case OpKind::UnlinkAt:
    case OpKind::MkdirAt:
    case OpKind::SymlinkAt:
    case OpKind::LinkAt:
      return (native_names_ & name_bit(kind)) != 0;
    default:
      return true;
  }
}

void UringDriver::submit(OpPtr op) {
  bool native = this->native(op->kind);
  if (!native) {
    offload(pool_, remote_, std::move(op));
    return;
  }
  if (!backlog_.empty()) {
    backlog_.push_back(std::move(op));
    return;
  }
  io_uring_sqe* sqe = next_sqe();
  if (!sqe) {
    backlog_.push_back(std::move(op));
    return;
  }
  prep(sqe, *op);
  OpState* key = op.get();
  inflight_.emplace(key, std::move(op));
}

void UringDriver::flush_backlog() {
  while (!backlog_.empty()) {
    io_uring_sqe* sqe = next_sqe();
    if (!sqe) return;
    OpPtr op = std::move(backlog_.front());
    backlog_.pop_front();
    prep(sqe, *op);
    OpState* key = op.get();
    inflight_.emplace(key, std::move(op));
  }
}

void UringDriver::force_async_above_threshold(io_uring_sqe* sqe, std::size_t len) noexcept {
  if (async_threshold_ == 0 || len < async_threshold_) return;
  sqe->flags |= IOSQE_ASYNC;
  ++forced_async_;
}

void UringDriver::arm_wake() {
  if (wake_armed_ || shutting_down_ || external_wait_) return;
  io_uring_sqe* sqe = next_sqe();
  if (!sqe) return;  // tried again on the next poll
  io_uring_prep_read(sqe, wake_.fd(), &wake_buf_, sizeof wake_buf_, 0);
  io_uring_sqe_set_data(sqe, &wake_buf_);
  wake_armed_ = true;
}

void UringDriver::poll(bool block, std::vector<OpPtr>& done) {
  flush_backlog();
  arm_wake();
  // Blocks until one completion: a file operation, or the eventfd read that
  // a cross-thread wake finishes. EINTR just returns to the runtime loop.
  if (block && wake_armed_) {
    io_uring_submit_and_wait(&ring_, 1);
  } else {
    io_uring_submit(&ring_);
  }
  reap(&done);
}

bool UringDriver::completions_ready() const noexcept {
  return io_uring_cq_ready(&ring_) > 0;
}

void UringDriver::reap(std::vector<OpPtr>* done) {
  unsigned head;
  unsigned seen = 0;
  io_uring_cqe* cqe;
  io_uring_for_each_cqe(&ring_, head, cqe) {
    ++seen;
    void* tag = io_uring_cqe_get_data(cqe);
    if (tag == &wake_buf_) {
      wake_armed_ = false;
      continue;
    }
    if (cqe->user_data == kCancelTag) continue;
    auto it = inflight_.find(static_cast<OpState*>(tag));
    if (it == inflight_.end()) continue;
    OpPtr op = std::move(it->second);
    inflight_.erase(it);
    op->res = cqe->res;
    if (op->res == -EINTR && op->abort_sent) op->res = -ECANCELED;
    if (op->kind == OpKind::Stat && cqe->res >= 0) op->size = op->stx.stx_size;
    op->done = true;
    if (done) done->push_back(std::move(op));
  }
  io_uring_cq_advance(&ring_, seen);
}

void UringDriver::abort_cancelled() {
  if (shutting_down_) return;
  for (auto& [key, op] : inflight_) {
    if (!op->cancel || !*op->cancel || op->abort_sent) continue;
    io_uring_sqe* sqe = next_sqe();
    if (!sqe) return;  // the ring is full of work; asked again on the next cancel
    io_uring_prep_cancel(sqe, key, 0);
    io_uring_sqe_set_data64(sqe, kCancelTag);
    op->abort_sent = true;
  }
}

void UringDriver::shutdown() {
  if (!ring_ready_ || shutting_down_) return;
  shutting_down_ = true;
  backlog_.clear();  // never submitted; a pending close still closes its fd here
  auto cancel = [&](void* target) {
    io_uring_sqe* sqe = next_sqe();
    while (!sqe) {
      io_uring_submit_and_wait(&ring_, 1);
      reap(nullptr);
      sqe = next_sqe();
    }
    io_uring_prep_cancel(sqe, target, 0);
    io_uring_sqe_set_data64(sqe, kCancelTag);
  };
  std::vector<OpState*> targets;
  for (auto& entry : inflight_) targets.push_back(entry.first);
  for (OpState* target : targets) {
    if (inflight_.count(target)) cancel(target);
  }
  if (wake_armed_) cancel(&wake_buf_);
  // Blocks until the kernel has answered every operation, cancelled or not:
  // until then it may still write their buffers.
  while (!inflight_.empty() || wake_armed_) {
    io_uring_submit_and_wait(&ring_, 1);
    reap(nullptr);
  }
}

}  // namespace kestrelio::runtime
