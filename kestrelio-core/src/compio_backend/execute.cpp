#include "compio_backend/execute.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <utility>
#include <vector>

#include "compio_backend/meta.hpp"
#include "compio_backend/pooled_read.hpp"
#include "compio_backend/read.hpp"
#include "compio_backend/write.hpp"
#include "runtime/blocking.hpp"
#include "runtime/fs.hpp"
#include "runtime/ordered_lane.hpp"

namespace kestrelio::compio_backend {

namespace {

using runtime::File;
using runtime::Task;

runtime::OpenOptions open_options(const op::Open& o) {
  runtime::OpenOptions opts;
  opts.read = o.read;
  opts.write = o.write || o.append;
  opts.truncate = o.truncate;
  opts.create = o.create;
  opts.create_new = o.create_new;
  opts.extra_flags = o.append ? O_APPEND : 0;
  return opts;
}

Task<OpResult> do_open(std::optional<HandleId> new_handle, op::Open o, Files files, CancelFlag cancelled) {
  runtime::OpenOptions opts = open_options(o);
  opts.cancel = std::move(cancelled);  // an open waiting for a FIFO's other end is given up
  auto opened = co_await runtime::open(std::move(o.path), std::move(opts));
  if (!opened) co_return opened.error();
  File file = std::move(opened).value();
  auto size = co_await runtime::size_hint(file);
  if (!size) co_return size.error();  // `file` drops here, closing it
  if (!new_handle) throw InvariantFault{kOpenAllocatesId};
  std::int64_t fd = file.fd();
  files->insert_or_assign(*new_handle, std::move(file));
  co_return reply::Handle{*new_handle, size.value().size, fd};
}

Task<OpResult> do_read(op::Read r, Files files, CancelFlag cancelled) {
  auto file = lookup(*files, r.handle);
  if (!file) co_return file.error();
  if (r.buf.is_owned) {
    auto target = owned_read_buffer(r.buf.len);
    if (!target) co_return target.error();
    auto got =
        co_await read_up_to(file.value(), r.pos, std::move(target).value(), r.buf.len, std::move(cancelled));
    if (!got) co_return got.error();
    co_return reply::Bytes{std::move(got).value()};
  }
  auto got = co_await read_up_to(file.value(), r.pos, RawBufMut{r.buf.ptr, r.buf.len}, r.buf.len, std::move(cancelled));
  if (!got) co_return got.error();
  co_return reply::Read{got.value().filled};
}

std::size_t capacity_after(std::uint64_t size, std::uint64_t pos) noexcept {
  return static_cast<std::size_t>(size > pos ? size - pos : 0) + 1;
}

// Where a read to end may stop without the final empty read.
std::optional<std::uint64_t> known_end(const runtime::SizeHint& hint) noexcept {
  return hint.regular ? std::optional<std::uint64_t>(hint.size) : std::nullopt;
}

Task<OpResult> do_read_to_end(op::ReadToEnd r, Files files, CancelFlag cancelled) {
  auto file = lookup(*files, r.handle);
  if (!file) co_return file.error();
  auto size = co_await runtime::size_hint(file.value());
  if (!size) co_return size.error();
  auto bytes = co_await read_to_end(file.value(), r.pos, capacity_after(size.value().size, r.pos), std::move(cancelled),
                                    known_end(size.value()));
  if (!bytes) co_return bytes.error();
  co_return reply::Bytes{std::move(bytes).value()};
}

Task<OpResult> do_write(op::Write w, Files files) {
  auto file = lookup(*files, w.handle);
  if (!file) co_return file.error();
  std::size_t n = w.data.size();
  if (w.append) {
    auto end = co_await append_all(file.value(), std::move(w.data));
    if (!end) co_return end.error();
    co_return reply::Written{n, end.value()};
  }
  auto done = co_await write_all(file.value(), w.pos, std::move(w.data));
  if (!done) co_return done.error();
  co_return reply::Written{n, w.pos + n};
}

Task<OpResult> do_close(op::Close c, Files files) {
  auto it = files->find(c.handle);
  if (it == files->end()) co_return IoError::custom(IoErrorKind::InvalidInput, kUnknownHandle);
  File file = std::move(it->second);
  files->erase(it);
  auto closed = co_await runtime::close(std::move(file));
  if (!closed) co_return closed.error();
  co_return reply::Unit{};
}

Task<OpResult> do_sync(op::Sync s, Files files) {
  auto file = lookup(*files, s.handle);
  if (!file) co_return file.error();
  auto done = co_await runtime::sync(file.value(), s.data_only);
  if (!done) co_return done.error();
  co_return reply::Unit{};
}

Task<OpResult> do_set_len(op::SetLen s, Files files) {
  auto file = lookup(*files, s.handle);
  if (!file) co_return file.error();
  auto done = co_await runtime::truncate(file.value(), s.len);
  if (!done) co_return done.error();
  co_return reply::Unit{};
}

Task<OpResult> do_size(op::Size s, Files files) {
  auto file = lookup(*files, s.handle);
  if (!file) co_return file.error();
  auto size = co_await runtime::file_size(file.value());
  if (!size) co_return size.error();
  co_return reply::Size{size.value()};
}

// A whole-file read in progress on the runtime of the thread, and where it
// goes. Pool jobs that keep finding their files not cached (cold files, or
// larger than a reply holds) are of no use: the ring reads those without
// the hand-off. After such a streak only one read in 2^(streak-1) tries the
// pool, until one is served there again. The jobs run one after another, so
// a file whose open hangs (a stuck network mount) holds up those behind it:
// at most kPooledMax wait there, and the reads beyond them take the ring.
class WholeRead {
 public:
  WholeRead() : s_(runtime::Runtime::current().whole_reads()) { ++s_.in_progress; }
  ~WholeRead() {
    --s_.in_progress;
    if (pooled_) --s_.pooled;
  }
  WholeRead(const WholeRead&) = delete;
  WholeRead& operator=(const WholeRead&) = delete;

  bool to_pool() noexcept {
    if (s_.to_pool_from == 0 || s_.in_progress <= s_.to_pool_from || s_.pooled >= kPooledMax) return false;
    if (s_.skip > 0) {
      --s_.skip;
      return false;
    }
    // During a streak the reads that follow this one keep off the pool
    // until it answers.
    s_.skip = skip_for(s_.misses);
    pooled_ = true;
    ++s_.pooled;
    return true;
  }
  runtime::OrderedLane& lane() {
    if (!s_.lane) s_.lane = std::make_shared<runtime::OrderedLane>();
    return *s_.lane;
  }
  void served(bool whole) noexcept {
    pooled_ = false;
    --s_.pooled;
    if (whole) {
      s_.misses = 0;
      s_.skip = 0;
      return;
    }
    s_.misses = std::min(s_.misses + 1, kMissStreakMax);
    s_.skip = std::max(s_.skip, skip_for(s_.misses));
  }

 private:
  static constexpr unsigned kMissStreakMax = 5;
  static constexpr std::size_t kPooledMax = 32;
  static std::size_t skip_for(unsigned misses) noexcept {
    return misses == 0 ? 0 : (std::size_t{1} << (misses - 1)) - 1;
  }
  runtime::Runtime::WholeReads& s_;
  bool pooled_ = false;
};

Task<OpResult> do_read_file(std::optional<HandleId> new_handle, op::ReadFile r, Files files,
                            CancelFlag cancelled) {
  WholeRead counted;
  File file;
  std::optional<runtime::SizeHint> size;
  if (!*cancelled && counted.to_pool()) {
    auto read = [path = r.path, max = r.inline_max] { return read_whole_on_pool(path, max); };
    auto job = co_await runtime::spawn_blocking(std::move(read), &counted.lane());
    counted.served(job.completed && job.value->bytes.has_value());
    if (job.completed) {
      PooledRead& got = *job.value;
      if (got.bytes) co_return reply::Bytes{std::move(*got.bytes)};
      if (got.fd) {
        file = File(std::move(got.fd));
        size = got.hint;
      }
    }
  }
  if (!file) {
    runtime::OpenOptions opts;
    opts.read = true;
    opts.cancel = cancelled;
    auto opened = co_await runtime::open(std::move(r.path), opts);
    if (!opened) co_return opened.error();
    file = std::move(opened).value();
    auto hint = co_await runtime::size_hint(file);
    if (!hint) co_return hint.error();
    size = hint.value();
  }
  if (size->size <= r.inline_max) {
    auto bytes = co_await read_to_end(file, 0, capacity_after(size->size, 0), std::move(cancelled),
                                      known_end(*size));
    if (!bytes) co_return bytes.error();
    auto closed = co_await runtime::close(std::move(file));
    if (!closed) co_return closed.error();
    co_return reply::Bytes{std::move(bytes).value()};
  }
  if (!new_handle) throw InvariantFault{kReadFileAllocatesId};
  std::int64_t fd = file.fd();
  files->insert_or_assign(*new_handle, std::move(file));
  co_return reply::Handle{*new_handle, size->size, fd};
}

Task<OpResult> do_write_file(op::WriteFile w, CancelFlag cancelled) {
  runtime::OpenOptions opts;
  opts.write = true;
  opts.truncate = true;
  opts.create = true;
  opts.cancel = std::move(cancelled);  // an open waiting for a FIFO's reader is given up
  auto opened = co_await runtime::open(std::move(w.path), opts);
  if (!opened) co_return opened.error();
  File file = std::move(opened).value();
  std::size_t n = w.data.size();
  auto done = co_await write_all(file, 0, std::move(w.data));
  if (!done) co_return done.error();
  auto closed = co_await runtime::close(std::move(file));
  if (!closed) co_return closed.error();
  co_return reply::Written{n, n};
}

}  // namespace

Task<OpResult> execute(std::optional<HandleId> new_handle, Op op, Files files, CancelFlag cancelled) {
  // A flagged operation touches nothing, not even the path.
  if (*cancelled) co_return IoError::os(ECANCELED);
  if (auto* o = std::get_if<op::Open>(&op)) {
    co_return co_await do_open(new_handle, std::move(*o), std::move(files), std::move(cancelled));
  }
  if (auto* o = std::get_if<op::Read>(&op)) co_return co_await do_read(*o, std::move(files), std::move(cancelled));
  if (auto* o = std::get_if<op::ReadToEnd>(&op)) {
    co_return co_await do_read_to_end(*o, std::move(files), std::move(cancelled));
  }
  if (auto* o = std::get_if<op::Write>(&op)) co_return co_await do_write(std::move(*o), std::move(files));
  if (auto* o = std::get_if<op::Close>(&op)) co_return co_await do_close(*o, std::move(files));
  if (auto* o = std::get_if<op::Sync>(&op)) co_return co_await do_sync(*o, std::move(files));
  if (auto* o = std::get_if<op::SetLen>(&op)) co_return co_await do_set_len(*o, std::move(files));
  if (auto* o = std::get_if<op::Size>(&op)) co_return co_await do_size(*o, std::move(files));
  if (auto* o = std::get_if<op::ReadFile>(&op)) {
    co_return co_await do_read_file(new_handle, std::move(*o), std::move(files), std::move(cancelled));
  }
  if (auto* o = std::get_if<op::WriteFile>(&op)) co_return co_await do_write_file(std::move(*o), std::move(cancelled));
  if (auto* o = std::get_if<op::Meta>(&op)) co_return co_await execute_meta(std::move(o->what));
  if (auto* o = std::get_if<op::Adopt>(&op)) co_return co_await adopt(new_handle, *o, std::move(files));
  co_return reply::Unit{};  // Nop: answered without kernel work
}

}  // namespace kestrelio::compio_backend
