#include <cerrno>
#include <cstring>
#include <new>

#include "darwin_aio/job.hpp"
#include "darwin_aio/open.hpp"

namespace kestrelio::darwin_aio {

namespace {

constexpr std::uint64_t kMinGrowth = 65536;

StepOutcome read_done(job_kind::Read& r) {
  if (!r.buf.is_owned) return reply::Read{static_cast<std::size_t>(r.done)};
  r.buf.owned_bytes.resize(static_cast<std::size_t>(r.done));  // shrinks in place, no copy
  return reply::Bytes{std::move(r.buf.owned_bytes)};
}

StepOutcome step_read(Sys& sys, job_kind::Read& r, std::uint64_t n) {
  r.done += n;
  if (n == 0) return read_done(r);  // end of file
  if (!r.to_end && r.done >= r.len) return read_done(r);
  if (r.to_end) {
    // A failed fstat or a file that is not regular only means "not yet".
    // Neither does a size of 0 once bytes were read: procfs and the like
    // report 0 for files that have content, so only a read of 0 ends those.
    struct stat st;
    std::memset(&st, 0, sizeof st);
    if (sys.fstat(r.fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
      std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
      if (size <= r.pos + r.done) return read_done(r);
    }
  }
  if (r.buf.is_owned && r.done == r.buf.owned_bytes.size()) {
    // Only enlarged between requests, so the kernel never sees it move.
    std::uint64_t grow = r.done > kMinGrowth ? r.done : kMinGrowth;
    try {
      r.buf.owned_bytes.resize(static_cast<std::size_t>(r.done + grow));
    } catch (const std::bad_alloc&) {
      return IoError::os(ENOMEM);
    } catch (const std::length_error&) {
      return IoError::custom(IoErrorKind::InvalidInput, kReadTooLarge);
    }
  }
  return std::nullopt;
}

StepOutcome step_write(Sys& sys, job_kind::Write& w, std::uint64_t n) {
  w.done += n;
  std::uint64_t len = w.data.size();
  if (w.done < len) {
    // A transfer of nothing would repeat forever; report it the way a
    // write-all does instead of requesting the rest again.
    if (n == 0) return IoError::custom(IoErrorKind::WriteZero, kWriteZero);
    return std::nullopt;
  }
  if (!w.append) return reply::Written{static_cast<std::size_t>(len), w.pos + len};
  Expected<std::uint64_t> size = fd_size(sys, w.fd);
  if (!size) return size.error();
  return reply::Written{static_cast<std::size_t>(len), size.value()};
}

}  // namespace

StepOutcome step(Sys& sys, JobKind& kind, std::uint64_t n) {
  if (auto* r = std::get_if<job_kind::Read>(&kind)) return step_read(sys, *r, n);
  if (auto* w = std::get_if<job_kind::Write>(&kind)) return step_write(sys, *w, n);
  return reply::Unit{};
}

std::optional<HandleId> job_handle(const JobKind& kind) noexcept {
  if (auto* r = std::get_if<job_kind::Read>(&kind)) return r->handle;
  if (auto* w = std::get_if<job_kind::Write>(&kind)) return w->handle;
  return std::get<job_kind::Sync>(kind).handle;
}

void fill_control_block(JobKind& kind, aiocb& cb) noexcept {
  if (auto* r = std::get_if<job_kind::Read>(&kind)) {
    cb.aio_fildes = r->fd;
    cb.aio_offset = static_cast<off_t>(r->pos + r->done);
    cb.aio_buf = r->buf.data() + r->done;
    cb.aio_nbytes = r->buf.limit() - static_cast<std::size_t>(r->done);
  } else if (auto* w = std::get_if<job_kind::Write>(&kind)) {
    cb.aio_fildes = w->fd;
    cb.aio_offset = static_cast<off_t>(w->pos + w->done);
    // The kernel only reads through it; the field is not const-qualified.
    cb.aio_buf = const_cast<std::uint8_t*>(w->data.data()) + w->done;
    cb.aio_nbytes = w->data.size() - static_cast<std::size_t>(w->done);
  } else {
    cb.aio_fildes = std::get<job_kind::Sync>(kind).fd;
  }
}

}  // namespace kestrelio::darwin_aio
