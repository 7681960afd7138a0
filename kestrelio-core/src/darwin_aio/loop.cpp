#include <cerrno>
#include <new>

#include "darwin_aio/driver.hpp"

namespace kestrelio::darwin_aio {

Driver::Driver(Sys& sys, Receiver<Msg> msgs_in, Sender<HelperJob> helper_tx_in, Receiver<Opened> opened_rx_in,
               std::uint64_t max_inflight_in)
    : sys_(sys),
      msgs(std::move(msgs_in)),
      helper_tx(std::move(helper_tx_in)),
      opened_rx(std::move(opened_rx_in)),
      max_inflight(max_inflight_in == 0 ? 1 : max_inflight_in) {
  inflight.reserve(static_cast<std::size_t>(max_inflight > 4096 ? 4096 : max_inflight));
  msgs.set_waker(&wake_);
  opened_rx.set_waker(&wake_);
}

Driver::~Driver() {
  // Removing the wakers under the channel locks guarantees no later poke of
  // `wake_`, which dies with us.
  msgs.set_waker(nullptr);
  opened_rx.set_waker(nullptr);
  release_retired();
}

void Driver::release_retired() noexcept {
  if (retired_.empty()) return;
  std::vector<const aiocb*> list;
  list.reserve(retired_.size());
  for (const auto& cb : retired_) list.push_back(cb.get());
  // Every block here has finished, so this returns at once; it only waits
  // for the AIO lock, which glibc's worker holds while it still reads one.
  timespec zero{0, 0};
  (void)sys_.aio_suspend(list.data(), static_cast<int>(list.size()), &zero);
  retired_.clear();
}

void Driver::run() {
  for (;;) {
    if (msgs_closed && at_helper.empty()) return;
    Wake w = wait_idle();
    if (auto* m = std::get_if<Msg>(&w)) {
      handle_msg(std::move(*m));
    } else if (auto* o = std::get_if<Opened>(&w)) {
      handle_opened(std::move(*o));
    } else if (std::holds_alternative<MsgsClosed>(w)) {
      msgs_closed = true;
    } else {
      mark_opened_closed();
    }
    do {
      busy_pass();
    } while (!inflight.empty() || !job_queue.empty());
  }
}

Driver::Wake Driver::wait_idle() {
  for (;;) {
    // Read the generation before looking, so a send between the look and
    // the wait still ends the wait.
    std::uint64_t seen = wake_.generation();
    if (!msgs_closed) {
      TryRecv<Msg> r = msgs.try_recv();
      if (r.value) return Wake(std::move(*r.value));
      if (r.disconnected) return MsgsClosed{};
    }
    if (!opened_closed && (!msgs_closed || !at_helper.empty())) {
      TryRecv<Opened> r = opened_rx.try_recv();
      if (r.value) return Wake(std::move(*r.value));
      if (r.disconnected) return OpenedClosed{};
    }
    // Nothing is in flight or queued: sleep until a message, a helper's
    // result or a disconnection arrives.
    wake_.wait_past(seen);
  }
}

void Driver::mark_opened_closed() noexcept {
  opened_closed = true;
  at_helper.clear();
  cancelled_opens.clear();
}

void Driver::busy_pass() {
  if (!inflight.empty()) {
    std::vector<const aiocb*> list;
    list.reserve(inflight.size());
    for (const Inflight& f : inflight) list.push_back(f.cb.get());
    timespec timeout{0, static_cast<long>(suspend_ns)};
    // Only a way to sleep until something may have finished; reaping decides.
    (void)sys_.aio_suspend(list.data(), static_cast<int>(list.size()), &timeout);
    retired_.clear();
    reap();
  }

  while (!msgs_closed) {
    TryRecv<Msg> r = msgs.try_recv();
    if (r.value) {
      handle_msg(std::move(*r.value));
    } else {
      if (r.disconnected) msgs_closed = true;
      break;
    }
  }

  while (!opened_closed) {
    TryRecv<Opened> r = opened_rx.try_recv();
    if (r.value) {
      handle_opened(std::move(*r.value));
    } else {
      if (r.disconnected) mark_opened_closed();
      break;
    }
  }

  submit_ready();

  if (progress) {
    suspend_ns = kMinSuspendNs;
  } else {
    suspend_ns = suspend_ns * 2 > kMaxSuspendNs ? kMaxSuspendNs : suspend_ns * 2;
  }
  progress = false;
}

void Driver::handle_msg(Msg m) {
  progress = true;
  if (auto* c = std::get_if<msg::Cancel>(&m)) {
    cancel(c->id);
    return;
  }
  handle_submit(std::move(std::get<msg::Submit>(m)));
}

namespace {

// A zero-filled vector of `len` bytes, or the error to reply with.
Expected<std::vector<std::uint8_t>> allocate(std::uint64_t len) {
  std::vector<std::uint8_t> v;
  if (len > v.max_size()) return IoError::custom(IoErrorKind::InvalidInput, kReadTooLarge);
  try {
    v.resize(static_cast<std::size_t>(len));
  } catch (const std::bad_alloc&) {
    return IoError::os(ENOMEM);
  } catch (const std::length_error&) {
    return IoError::custom(IoErrorKind::InvalidInput, kReadTooLarge);
  }
  return v;
}

}  // namespace

void Driver::handle_submit(msg::Submit s) {
  ReplyFn& reply = s.reply;
  const OpId id = s.id;
  std::visit(
      [&](auto& op) {
        using T = std::decay_t<decltype(op)>;
        if constexpr (std::is_same_v<T, op::Nop>) {
          std::move(reply)(reply::Unit{});
        } else if constexpr (std::is_same_v<T, op::Open>) {
          OpenOptions o{op.read, op.write, op.append, op.truncate, op.create, op.create_new};
          open_then(id, std::move(op.path), o, after_open::ReplyHandle{}, std::move(reply));
        } else if constexpr (std::is_same_v<T, op::ReadFile>) {
          OpenOptions o;
          o.read = true;
          open_then(id, std::move(op.path), o, after_open::ReadFileThen{op.inline_max}, std::move(reply));
        } else if constexpr (std::is_same_v<T, op::WriteFile>) {
          OpenOptions o;
          o.write = o.truncate = o.create = true;
          open_then(id, std::move(op.path), o, after_open::WriteFileThen{std::move(op.data)}, std::move(reply));
        } else if constexpr (std::is_same_v<T, op::Adopt>) {
          adopt(op, std::move(reply));
        } else if constexpr (std::is_same_v<T, op::Meta>) {
          submit_meta(id, std::move(op.what), std::move(reply));
        } else if constexpr (std::is_same_v<T, op::Close>) {
          close_handle(op.handle, std::move(reply));
        } else {
          Expected<int> fd = with_fd(op.handle);
          if (!fd) {
            std::move(reply)(fd.error());
            return;
          }
          if constexpr (std::is_same_v<T, op::Read>) {
            if (op.buf.len == 0) {
              if (op.buf.is_owned) {
                std::move(reply)(reply::Bytes{});
              } else {
                std::move(reply)(reply::Read{0});
              }
              return;
            }
            JobBuf buf = JobBuf::raw(op.buf.ptr, op.buf.len);
            if (op.buf.is_owned) {
              Expected<std::vector<std::uint8_t>> v = allocate(op.buf.len);
              if (!v) {
                std::move(reply)(v.error());
                return;
              }
              buf = JobBuf::owned(std::move(v).value());
            }
            enqueue(id, job_kind::Read{op.handle, false, op.buf.len, std::move(buf), op.pos, 0, fd.value(), {}},
                    op.handle, std::move(reply));
          } else if constexpr (std::is_same_v<T, op::ReadToEnd>) {
            std::uint64_t cap = 1;
            if (Expected<std::uint64_t> size = fd_size(sys_, fd.value()); size && size.value() > op.pos) {
              cap = size.value() - op.pos;
            }
            Expected<std::vector<std::uint8_t>> v = allocate(cap);
            if (!v) {
              std::move(reply)(v.error());
              return;
            }
            enqueue(id,
                    job_kind::Read{op.handle, true, 0, JobBuf::owned(std::move(v).value()), op.pos, 0, fd.value(), {}},
                    op.handle, std::move(reply));
          } else if constexpr (std::is_same_v<T, op::Write>) {
            if (op.data.empty()) {
              if (!op.append) {
                std::move(reply)(reply::Written{0, op.pos});
              } else if (Expected<std::uint64_t> size = fd_size(sys_, fd.value())) {
                std::move(reply)(reply::Written{0, size.value()});
              } else {
                std::move(reply)(size.error());
              }
              return;
            }
            enqueue(id, job_kind::Write{op.handle, std::move(op.data), op.pos, 0, fd.value(), {}, op.append},
                    op.handle, std::move(reply));
          } else if constexpr (std::is_same_v<T, op::Sync>) {
            // Every sync is a full one; data_only changes nothing here.
            enqueue(id, job_kind::Sync{op.handle, fd.value()}, op.handle, std::move(reply));
          } else if constexpr (std::is_same_v<T, op::SetLen>) {
            if (op.len > static_cast<std::uint64_t>(INT64_MAX)) {
              std::move(reply)(IoError::os(EINVAL));
            } else if (sys_.ftruncate(fd.value(), static_cast<off_t>(op.len)) != 0) {
              std::move(reply)(IoError::last_os());
            } else {
              std::move(reply)(reply::Unit{});
            }
          } else if constexpr (std::is_same_v<T, op::Size>) {
            if (Expected<std::uint64_t> size = fd_size(sys_, fd.value())) {
              std::move(reply)(reply::Size{size.value()});
            } else {
              std::move(reply)(size.error());
            }
          }
        }
      },
      s.op);
}

}  // namespace kestrelio::darwin_aio
