#include "darwin_aio/start.hpp"

#include <pthread.h>

#include <atomic>

#include "darwin_aio/driver.hpp"
#include "darwin_aio/helper.hpp"
#include "darwin_aio/own_aio.hpp"
#include "platform.hpp"
#include "thread.hpp"

namespace kestrelio::darwin_aio {

namespace {

// Set in every child forked after a backend started here: the C library's
// AIO state it inherited may not be usable there.
std::atomic<bool> forked{false};

void mark_forked() noexcept { forked.store(true, std::memory_order_relaxed); }

// The C library's AIO, or, in a forked child where that would hang, threads
// of the backend's own.
Sys& default_sys() {
  static const bool watching = [] {
    pthread_atfork(nullptr, nullptr, mark_forked);
    return true;
  }();
  (void)watching;
  if (!forked.load(std::memory_order_relaxed) || platform::aio_survives_fork()) return real_sys();
  // Never freed: detached helpers may use it until the process ends. One per forked child.
  return *new OwnThreadsAio;
}

// Used when the system publishes no per-process AIO limit.
constexpr std::uint64_t kDefaultMaxInflight = 16;

std::uint64_t max_inflight_for(const DriverOptions& options) {
  if (options.max_inflight) return *options.max_inflight;
  std::optional<std::int32_t> limit = platform::aio_process_max();
  if (limit && *limit > 0) return static_cast<std::uint64_t>(*limit);
  return kDefaultMaxInflight;
}

}  // namespace

unsigned open_helper_count(long processors) noexcept {
  if (processors <= 0) return 2;
  long n = processors / 3;
  if (n < 2) n = 2;
  if (n > 4) n = 4;
  return static_cast<unsigned>(n);
}

std::optional<IoError> start(Receiver<Msg> msgs, const DriverOptions& options) {
  Sys& sys = options.aio_sys ? *options.aio_sys : default_sys();
  long processors = options.processors ? options.processors() : platform::online_processors();
  unsigned helpers = open_helper_count(processors);
  std::uint64_t max_inflight = max_inflight_for(options);

  // The creator's ends drop on return; on a failure that disconnects the
  // helpers already started, and they end.
  auto [helper_tx, helper_rx] = channel<HelperJob>();
  auto [opened_tx, opened_rx] = channel<Opened>();
  for (unsigned i = 0; i < helpers; ++i) {
    auto body = [&sys, jobs = helper_rx, tx = opened_tx]() mutable {
      run_open_helper(sys, std::move(jobs), std::move(tx));
    };
    if (auto err = spawn_detached("kestrelio-open", std::move(body))) return err;
  }
  auto body = [&sys, msgs = std::move(msgs), helper_tx = std::move(helper_tx), opened_tx = std::move(opened_tx),
               opened_rx = std::move(opened_rx), max_inflight]() mutable {
    Driver driver(sys, std::move(msgs), std::move(helper_tx), std::move(opened_tx), std::move(opened_rx),
                  max_inflight);
    driver.run();
  };
  return spawn_detached("kestrelio-aio", std::move(body));
}

}  // namespace kestrelio::darwin_aio
