#include "runtime/fs.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <limits>

#include "runtime/ordered_lane.hpp"
#include "runtime/runtime.hpp"

namespace kestrelio::runtime {

void OpAwaiter::await_suspend(std::coroutine_handle<> h) {
  op_->waiter = h;
  Runtime& rt = Runtime::current();
  if (lane_) {
    lane_->submit(rt.pool(), rt.remote(), op_, rt.external_wait());
  } else {
    rt.submit(op_);
  }
}

Expected<int> open_flags(const OpenOptions& o) {
  int flags;
  if (o.read && o.write) {
    flags = O_RDWR;
  } else if (o.write) {
    flags = O_WRONLY;
  } else if (o.read) {
    flags = O_RDONLY;
  } else {
    return IoError::os(EINVAL);
  }
  if (!o.write && (o.truncate || o.create || o.create_new)) return IoError::os(EINVAL);
  if (o.create_new) {
    flags |= O_CREAT | O_EXCL;
  } else {
    if (o.create) flags |= O_CREAT;
    if (o.truncate) flags |= O_TRUNC;
  }
  return flags | O_CLOEXEC | o.extra_flags;
}

namespace {

std::shared_ptr<OpState> make_op(OpKind kind, const File& file) {
  auto op = std::make_shared<OpState>(kind);
  op->file = file;  // keeps the descriptor number valid while in flight
  op->fd = file.fd();
  return op;
}

IoError errno_error(std::int64_t res) { return IoError::os(static_cast<int>(-res)); }

// io_uring reads an offset of -1 as "the file's own position", so a position
// that is negative as an off_t never reaches a driver: both fail it as pread
// and pwrite would.
bool beyond_off_t(std::uint64_t pos) noexcept {
  return pos > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
}

}  // namespace

namespace {

Task<Expected<File>> open_once(std::string path, int flags, mode_t mode, std::shared_ptr<const bool> cancel) {
  if (cancel && *cancel) co_return IoError::os(ECANCELED);
  auto op = std::make_shared<OpState>(OpKind::Open);
  op->path = std::move(path);
  op->flags = flags;
  op->mode = mode;
  op->cancel = std::move(cancel);
  std::int64_t res = co_await OpAwaiter(op);
  if (res < 0) co_return errno_error(res);
  op->fd_claimed = true;
  co_return File(UniqueFd(static_cast<int>(res)));
}

}  // namespace

Task<Expected<File>> open(std::string path, OpenOptions options) {
  if (path.find('\0') != std::string::npos) co_return IoError::custom(IoErrorKind::InvalidInput, kNulInPath);
  auto flags = open_flags(options);
  if (!flags) co_return flags.error();
  int f = flags.value();
  // The ring hands every open that may create or truncate to a kernel
  // worker, whose wake-up costs many times the open itself. An append
  // mostly reopens a file that is there: that open goes without O_CREAT
  // first, which the ring does inline; only ENOENT asks for the creation.
  // The inline attempt is non-blocking: a FIFO without a reader answers it
  // ENXIO, and the blocking open from a worker then waits for the reader.
  if ((f & O_CREAT) != 0 && (f & (O_EXCL | O_TRUNC)) == 0 &&
      Runtime::current().driver_type() == RuntimeDriverType::IoUring) {
    auto existing = co_await open_once(path, f & ~O_CREAT, options.mode, options.cancel);
    int e = !existing && existing.error().is_os() ? existing.error().raw_os_error() : 0;
    if (e != ENOENT && e != ENXIO) co_return existing;
  }
  co_return co_await open_once(std::move(path), f, options.mode, std::move(options.cancel));
}

Task<Expected<std::uint64_t>> file_size(const File& file) {
  auto op = make_op(OpKind::Stat, file);
  std::int64_t res = co_await OpAwaiter(op);
  if (res < 0) co_return errno_error(res);
  co_return op->size;
}

Task<Expected<SizeHint>> size_hint(const File& file) {
  // Through the ring statx always goes to a kernel worker, and its answer
  // comes back with a wake-up: far dearer than the call itself, which
  // reads the inode the open descriptor already holds.
  struct statx stx {};
  if (::statx(file.fd(), "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_SIZE | STATX_TYPE, &stx) == 0) {
    bool known = (stx.stx_mask & (STATX_SIZE | STATX_TYPE)) == (STATX_SIZE | STATX_TYPE);
    co_return SizeHint{stx.stx_size, known && S_ISREG(stx.stx_mode) && stx.stx_size > 0};
  }
  if (errno != ENOSYS) co_return errno_error(-errno);
  auto size = co_await file_size(file);
  if (!size) co_return size.error();
  co_return SizeHint{size.value(), false};
}

Task<Expected<std::size_t>> read_at(const File& file, std::uint64_t pos, std::uint8_t* ptr, std::size_t len,
                                    std::shared_ptr<const bool> cancel) {
  if (beyond_off_t(pos)) co_return IoError::os(EINVAL);
  for (;;) {
    if (cancel && *cancel) co_return IoError::os(ECANCELED);
    auto op = make_op(OpKind::Read, file);
    op->offset = pos;
    op->buf = ptr;
    op->len = len;
    op->cancel = cancel;
    std::int64_t res = co_await OpAwaiter(op);
    if (res == -EINTR) continue;
    if (res < 0) co_return errno_error(res);
    co_return static_cast<std::size_t>(res);
  }
}

Task<BufResult<std::vector<std::uint8_t>>> read_at(const File& file, std::uint64_t pos, std::vector<std::uint8_t> buf,
                                                   std::size_t from, std::size_t len,
                                                   std::shared_ptr<const bool> cancel) {
  if (beyond_off_t(pos)) co_return BufResult<std::vector<std::uint8_t>>{IoError::os(EINVAL), std::move(buf)};
  for (;;) {
    if (cancel && *cancel) co_return BufResult<std::vector<std::uint8_t>>{IoError::os(ECANCELED), std::move(buf)};
    auto op = make_op(OpKind::Read, file);
    op->cancel = cancel;
    op->owned_read = std::move(buf);
    op->offset = pos;
    op->buf = op->owned_read.data() + from;
    op->len = len;
    std::int64_t res = co_await OpAwaiter(op);
    buf = std::move(op->owned_read);
    if (res == -EINTR) continue;
    if (res < 0) co_return BufResult<std::vector<std::uint8_t>>{errno_error(res), std::move(buf)};
    co_return BufResult<std::vector<std::uint8_t>>{static_cast<std::size_t>(res), std::move(buf)};
  }
}

Task<BufResult<Payload>> write_at(const File& file, std::uint64_t pos, Payload data, std::size_t from) {
  if (beyond_off_t(pos)) co_return BufResult<Payload>{IoError::os(EINVAL), std::move(data)};
  auto op = make_op(OpKind::Write, file);
  op->owned_write = std::move(data);
  op->offset = pos;
  // The kernel only reads this memory; the cast is the prep helpers' signature.
  op->buf = const_cast<std::uint8_t*>(op->owned_write.data()) + from;
  op->len = op->owned_write.size() - from;
  std::int64_t res = co_await OpAwaiter(op);
  data = std::move(op->owned_write);
  if (res < 0) co_return BufResult<Payload>{errno_error(res), std::move(data)};
  co_return BufResult<Payload>{static_cast<std::size_t>(res), std::move(data)};
}

Task<Status> sync(const File& file, bool data_only) {
  auto op = make_op(OpKind::Sync, file);
  op->data_only = data_only;
  std::int64_t res = co_await OpAwaiter(op);
  if (res < 0) co_return errno_error(res);
  co_return std::monostate{};
}

Task<Status> truncate(const File& file, std::uint64_t len) {
  if (len > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) co_return IoError::os(EFBIG);
  auto op = make_op(OpKind::Truncate, file);
  op->offset = len;
  std::int64_t res = co_await OpAwaiter(op);
  if (res < 0) co_return errno_error(res);
  co_return std::monostate{};
}

Task<Status> close(File file) {
  UniqueFd fd = co_await CloseAwaiter(file);
  // A descriptor the caller keeps stays open; the table only forgets it.
  if (!fd.owns()) {
    fd.release();
    co_return std::monostate{};
  }
  auto op = std::make_shared<OpState>(OpKind::Close);
  op->fd = fd.get();
  op->to_close = std::move(fd);
  std::int64_t res = co_await OpAwaiter(op);
  if (res < 0) co_return errno_error(res);
  co_return std::monostate{};
}

}  // namespace kestrelio::runtime
