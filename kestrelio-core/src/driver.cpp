#include "kestrelio/driver.hpp"

#include "compio_backend/spawn.hpp"
#include "darwin_aio/start.hpp"
#include "loop_ring/executor.hpp"
#include "thread.hpp"

namespace kestrelio {

const char* compio_backend_name(RuntimeDriverType type) noexcept {
  switch (type) {
    case RuntimeDriverType::Polling:
      return "compio-polling";
    case RuntimeDriverType::IoUring:
      return "compio-io-uring";
    case RuntimeDriverType::Iocp:
      break;
  }
  return "compio-iocp";
}

Expected<std::unique_ptr<Driver>> Driver::create(BackendKind kind, const DriverOptions& options) {
  if (kind == BackendKind::LoopUring) {
    // Without io_uring here (no liburing in the build, a kernel that refuses
    // it), the runtime backend on its own thread serves instead.
    if (!loop_ring::available()) return create(BackendKind::Compio, options);
    auto [tx, rx] = channel<Msg>();  // unused: nothing is ever sent
    std::unique_ptr<Driver> d(new Driver(std::move(tx), "loop-io-uring"));
    d->local_ = loop_ring::make_executor();
    return d;
  }
  auto [tx, rx] = channel<Msg>();
  const char* name = "darwin-aio";

  if (kind == BackendKind::Compio) {
    auto [startup_tx, startup_rx] = channel<compio_backend::Startup>();
    auto body = [rx = std::move(rx), startup_tx = std::move(startup_tx), options]() mutable {
      compio_backend::spawn(std::move(rx), std::move(startup_tx), options);
    };
    if (auto err = spawn_detached("kestrelio-compio", std::move(body))) return *err;
    // Blocks until the runtime thread has built its runtime; it needs no lock
    // of the caller's to do so.
    std::optional<compio_backend::Startup> started = startup_rx.recv();
    if (!started) return IoError::custom(IoErrorKind::BrokenPipe, kStartupExited);
    if (!started->ok()) return started->error();  // `tx` drops here: the thread, if alive, ends
    name = compio_backend_name(started->value());
  } else {
    if (auto err = darwin_aio::start(std::move(rx), options)) return *err;
  }
  return std::unique_ptr<Driver>(new Driver(std::move(tx), name));
}

std::unique_ptr<Driver> Driver::attach(Sender<Msg> tx, const char* name) {
  return std::unique_ptr<Driver>(new Driver(std::move(tx), name));
}

OpId Driver::submit(Op op, ReplyFn reply) {
  // Only uniqueness matters, so relaxed ordering is enough.
  OpId id = next_id_.fetch_add(1, std::memory_order_relaxed);
  if (local_) {
    local_->submit(std::move(op), std::move(reply), id);
    return id;
  }
  std::optional<Msg> back = tx_.send(Msg(msg::Submit{std::move(op), std::move(reply), id}));
  if (back) {
    auto& submit = std::get<msg::Submit>(*back);
    std::move(submit.reply)(IoError::custom(IoErrorKind::BrokenPipe, kDriverGone));
  }
  return id;
}

void Driver::cancel(OpId id) {
  if (local_) {
    local_->cancel(id);
    return;
  }
  (void)tx_.send(Msg(msg::Cancel{id}));
}

}  // namespace kestrelio
