#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "kestrelio/channel.hpp"
#include "kestrelio/expected.hpp"
#include "kestrelio/msg.hpp"

namespace kestrelio {

namespace darwin_aio {
class Sys;
}

// Which backend a Driver runs.
enum class BackendKind : std::uint8_t {
  Compio,     // the completion runtime (io_uring or polling driver)
  DarwinAio,  // POSIX asynchronous I/O
  LoopUring,  // the completion runtime on each submitting thread's own ring
};

// Runs operations on the submitting thread instead of sending them to a
// backend thread (the loop backend, loop_ring.hpp).
class LocalExecutor {
 public:
  virtual ~LocalExecutor() = default;
  virtual void submit(Op op, ReplyFn reply, OpId id) = 0;
  virtual void cancel(OpId id) = 0;
};

// The completion runtime's driver, as it reports it.
enum class RuntimeDriverType : std::uint8_t { Polling, IoUring, Iocp };

// Which runtime driver to build. Production always uses Auto (io_uring, else
// polling); tests pin one so both are exercised on every machine.
enum class RuntimeDriverChoice : std::uint8_t { Auto, IoUring, Polling };

// Knobs for tests and embedders. The defaults are what production uses.
struct DriverOptions {
  // Online processor count used to size the open-helper pool; null asks sysconf.
  long (*processors)() = nullptr;
  // System-call layer of the darwin-aio backend; null is the real one.
  darwin_aio::Sys* aio_sys = nullptr;
  // Overrides the per-process AIO request limit the backend would read.
  std::optional<std::uint64_t> max_inflight;
  RuntimeDriverChoice runtime_driver = RuntimeDriverChoice::Auto;
};

// The one object through which callers reach a backend. Creating it starts
// the backend's detached threads; dropping it disconnects the operation
// channel, which is how those threads learn to stop. Nothing waits for them.
class Driver {
 public:
  static Expected<std::unique_ptr<Driver>> create(BackendKind kind, const DriverOptions& options = {});
  // Wraps an operation channel served by some other loop (tests, embedders).
  static std::unique_ptr<Driver> attach(Sender<Msg> tx, const char* name);

  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  // Never waits for the backend. If the backend thread is gone, `reply` is
  // called here with BrokenPipe "kestrelio driver thread is gone" before this
  // returns. Either way the operation gets a fresh id.
  OpId submit(Op op, ReplyFn reply);
  // Sends a Cancel; a failure to send is ignored.
  void cancel(OpId id);
  // "darwin-aio", "compio-io-uring", "compio-polling", "compio-iocp" or
  // "loop-io-uring".
  const char* name() const noexcept { return name_; }
  // Whether operations run on the submitting thread (see loop_ring.hpp).
  bool local() const noexcept { return local_ != nullptr; }

 private:
  Driver(Sender<Msg> tx, const char* name) : tx_(std::move(tx)), name_(name) {}

  Sender<Msg> tx_;
  std::unique_ptr<LocalExecutor> local_;
  const char* name_;
  std::atomic<std::uint64_t> next_id_{1};
};

// Name of the runtime backend for the driver type the runtime reports.
const char* compio_backend_name(RuntimeDriverType type) noexcept;

}  // namespace kestrelio
