#include <fcntl.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "darwin_aio/driver.hpp"

namespace kestrelio::darwin_aio {

void Driver::enqueue(OpId op_id, JobKind kind, HandleId handle, ReplyFn reply) {
  if (auto it = files.find(handle); it != files.end()) ++it->second.active_ops;
  job_queue.push_back(Job{std::move(kind), std::move(reply), op_id});
  submit_ready();
}

int Driver::start_request(Job& job, aiocb& cb) {
  if (std::holds_alternative<job_kind::Read>(job.kind)) return sys_.aio_read(&cb);
  if (std::holds_alternative<job_kind::Write>(job.kind)) return sys_.aio_write(&cb);
  // A full sync whatever the operation's data_only says.
  return sys_.aio_fsync(O_SYNC, &cb);
}

void Driver::submit_ready() {
  while (inflight.size() < max_inflight && !job_queue.empty()) {
    Job job = std::move(job_queue.front());
    job_queue.pop_front();
    auto cb = std::make_unique<aiocb>();  // value-initialised: all zero
    // Zero is SIGEV_SIGNAL on Linux: glibc would queue a (null) signal to
    // the process for every completion. Completions are polled for.
    cb->aio_sigevent.sigev_notify = SIGEV_NONE;
    fill_control_block(job.kind, *cb);
    if (start_request(job, *cb) == 0) {
      inflight.push_back(Inflight{std::move(job), std::move(cb)});
      continue;
    }
    int err = errno;
    if (err == EAGAIN) {
      if (!inflight.empty()) {
        // Retried after a completion frees a slot.
        job_queue.push_front(std::move(job));
        return;
      }
      // Nothing will complete to free a slot, so do it here.
      run_sync(std::move(job));
      continue;
    }
    finish(std::move(job), IoError::os(err));
  }
}

void Driver::run_sync(Job job) {
  for (;;) {
    ssize_t n;
    if (auto* r = std::get_if<job_kind::Read>(&job.kind)) {
      n = sys_.pread(r->fd, r->buf.data() + r->done, r->buf.limit() - static_cast<std::size_t>(r->done),
                     static_cast<off_t>(r->pos + r->done));
    } else if (auto* w = std::get_if<job_kind::Write>(&job.kind)) {
      const std::uint8_t* from = w->data.data() + w->done;
      std::size_t left = w->data.size() - static_cast<std::size_t>(w->done);
      n = w->append ? sys_.write(w->fd, from, left)
                    : sys_.pwrite(w->fd, from, left, static_cast<off_t>(w->pos + w->done));
    } else {
      n = sys_.fsync(std::get<job_kind::Sync>(job.kind).fd);
    }
    if (n < 0) {
      finish(std::move(job), IoError::last_os());
      return;
    }
    if (StepOutcome out = step(sys_, job.kind, static_cast<std::uint64_t>(n))) {
      finish(std::move(job), std::move(*out));
      return;
    }
  }
}

void Driver::reap() {
  for (std::size_t i = 0; i < inflight.size();) {
    int err = sys_.aio_error(inflight[i].cb.get());
    if (err == EINPROGRESS) {
      ++i;
      continue;
    }
    // aio_error fails only for a block it does not know; report that as its errno.
    if (err < 0) err = errno != 0 ? errno : EINVAL;
    Inflight entry = std::move(inflight[i]);
    if (i + 1 != inflight.size()) inflight[i] = std::move(inflight.back());
    inflight.pop_back();
    progress = true;
    ssize_t count = sys_.aio_return(entry.cb.get());  // collected for every finished request
    retired_.push_back(std::move(entry.cb));
    if (err == 0 && count < 0) err = EIO;
    if (err != 0) {
      finish(std::move(entry.job), IoError::os(err));
      continue;
    }
    StepOutcome out = step(sys_, entry.job.kind, static_cast<std::uint64_t>(count));
    if (out) {
      finish(std::move(entry.job), std::move(*out));
    } else if (entry.job.cancelled) {
      finish(std::move(entry.job), IoError::os(ECANCELED));
    } else {
      // Ahead of all waiting jobs, so a long transfer is not starved by newer work.
      job_queue.push_front(std::move(entry.job));
      submit_ready();
    }
  }
}

void Driver::finish(Job job, OpResult result) {
  // Whole-file descriptors are closed before the reply, also on failure.
  if (auto* r = std::get_if<job_kind::Read>(&job.kind); r && r->close_after) close_whole_file(std::move(r->close_after));
  if (auto* w = std::get_if<job_kind::Write>(&job.kind); w && w->close_after) close_whole_file(std::move(w->close_after));
  std::optional<HandleId> handle = job_handle(job.kind);
  std::move(job.reply)(std::move(result));
  if (handle) account_finished(*handle);
}

bool Driver::shares_descriptor(const Inflight& f) const noexcept {
  for (const Inflight& other : inflight) {
    if (&other != &f && other.cb->aio_fildes == f.cb->aio_fildes) return true;
  }
  return false;
}

void Driver::cancel(OpId id) {
  for (auto it = job_queue.begin(); it != job_queue.end(); ++it) {
    if (it->op_id != id) continue;
    Job job = std::move(*it);
    job_queue.erase(it);
    finish(std::move(job), IoError::os(ECANCELED));
    return;
  }
  for (Inflight& f : inflight) {
    if (f.job.op_id != id) continue;
    // The request is reaped as usual: ECANCELED if the kernel dropped it, its
    // real result if it had already run (glibc's AIO_NOTCANCELED case).
    f.job.cancelled = true;
    // Where cancelling could strand the requests queued behind this one on
    // its descriptor, it is left to finish; the flag still stops a partial
    // transfer from being continued.
    if (sys_.cancel_strands_followers() && shares_descriptor(f)) return;
    (void)sys_.aio_cancel(f.cb->aio_fildes, f.cb.get());
    return;
  }
  if (at_helper.count(id) != 0) {
    cancelled_opens.insert(id);
    return;
  }
  (void)cancel_meta(id);
}

}  // namespace kestrelio::darwin_aio
