#pragma once

// Shared helpers of the runtime backend tests: a backend on a thread of our
// own (so pool hooks can be passed and the thread joined), replies collected
// with a timeout, and slow sources that hold a read in flight on demand.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <dirent.h>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <liburing.h>

#include "compio_backend/serve.hpp"
#include "kestrelio/driver.hpp"
#include "runtime/test_hooks.hpp"

namespace kestrelio::testing {

inline const char* choice_name(RuntimeDriverChoice c) { return c == RuntimeDriverChoice::IoUring ? "IoUring" : "Polling"; }

// Why a forced io_uring runtime cannot be built on this machine (ring setup
// refused by seccomp or io_uring_disabled, a required opcode missing), or
// nothing when it can. Probed once, on a thread of its own so the caller's
// current runtime is untouched; the ring-setup test hook must not be set then.
inline std::optional<std::string> io_uring_unavailable() {
  static const std::optional<std::string> reason = [] {
    std::optional<std::string> why;
    std::thread([&why] {
      runtime::RuntimeOptions o;
      o.driver = RuntimeDriverChoice::IoUring;
      auto rt = runtime::Runtime::create(std::move(o));
      if (!rt) why = "io_uring is unavailable on this machine: " + rt.error().to_string();
    }).join();
    return why;
  }();
  return reason;
}

// Skips the current test when it needs io_uring (`choice` is IoUring) and
// the machine cannot provide it; a macro so the skip returns from the test.
#define KESTRELIO_SKIP_WITHOUT_IO_URING(choice)                                            \
  do {                                                                                     \
    if ((choice) == ::kestrelio::RuntimeDriverChoice::IoUring) {                           \
      if (auto why_ = ::kestrelio::testing::io_uring_unavailable()) GTEST_SKIP() << *why_; \
    }                                                                                      \
  } while (0)

// One reply, waited for with a timeout so a lost reply fails instead of hanging.
class ReplySlot {
 public:
  ReplyFn fn() {
    return [s = state_](OpResult r) {
      std::lock_guard<std::mutex> g(s->m);
      s->result.emplace(std::move(r));
      s->cv.notify_all();
    };
  }
  std::optional<OpResult> wait(std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
    std::unique_lock<std::mutex> g(state_->m);
    state_->cv.wait_for(g, limit, [&] { return state_->result.has_value(); });
    return std::move(state_->result);
  }
  bool ready() {
    std::lock_guard<std::mutex> g(state_->m);
    return state_->result.has_value();
  }

 private:
  struct State {
    std::mutex m;
    std::condition_variable cv;
    std::optional<OpResult> result;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

// Holds every pool job at the door while closed; tests use it to keep a
// polling-driver operation in flight.
class Gate {
 public:
  void close() {
    std::lock_guard<std::mutex> g(m_);
    open_ = false;
  }
  void open() {
    {
      std::lock_guard<std::mutex> g(m_);
      open_ = true;
    }
    cv_.notify_all();
  }
  void pass() {
    std::unique_lock<std::mutex> g(m_);
    ++waiting_;
    cv_.notify_all();
    cv_.wait(g, [&] { return open_; });
    --waiting_;
  }
  int held() {
    std::lock_guard<std::mutex> g(m_);
    return waiting_;
  }
  // Blocks until some job is held at the gate.
  bool wait_held(std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
    std::unique_lock<std::mutex> g(m_);
    return cv_.wait_for(g, limit, [&] { return waiting_ > 0; });
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool open_ = true;
  int waiting_ = 0;
};

// A backend served on a joinable thread of the test.
class Backend {
 public:
  explicit Backend(RuntimeDriverChoice choice, std::function<void(Driver&)> before_start = {}) {
    auto [tx, rx] = channel<Msg>();
    auto [stx, srx] = channel<compio_backend::Startup>();
    driver_ = Driver::attach(std::move(tx), "test");
    if (before_start) before_start(*driver_);
    runtime::RuntimeOptions ro;
    ro.driver = choice;
    ro.pool.job_hook = [g = gate_] { g->pass(); };
    thread_ = std::thread([rx = std::move(rx), stx = std::move(stx), ro = std::move(ro)]() mutable {
      compio_backend::serve(std::move(rx), std::move(stx), std::move(ro));
    });
    auto started = srx.recv();
    started_ok_ = started && started->ok();
  }
  // Drops the driver (disconnecting the channel) and joins the thread.
  ~Backend() {
    driver_.reset();
    join();
  }

  bool started() const { return started_ok_; }
  Driver& driver() { return *driver_; }
  Gate& gate() { return *gate_; }

  OpResult call(Op op) {
    ReplySlot slot;
    driver_->submit(std::move(op), slot.fn());
    auto r = slot.wait();
    if (!r) return IoError::custom(IoErrorKind::Other, "test: no reply within the time limit");
    return std::move(*r);
  }
  OpId submit(Op op, ReplySlot& slot) { return driver_->submit(std::move(op), slot.fn()); }

  void drop_driver() { driver_.reset(); }
  void join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::shared_ptr<Gate> gate_ = std::make_shared<Gate>();
  std::unique_ptr<Driver> driver_;
  std::thread thread_;
  bool started_ok_ = false;
};

// The name operations the ring may carry; hiding them sends those kinds to the pool.
inline constexpr int kNameOpcodes[] = {IORING_OP_STATX,   IORING_OP_RENAMEAT,  IORING_OP_UNLINKAT,
                                       IORING_OP_MKDIRAT, IORING_OP_SYMLINKAT, IORING_OP_LINKAT};

enum class DriverKind { DarwinAio, Polling, IoUring, IoUringWithoutNameOpcodes };

inline const char* kind_name(DriverKind k) {
  switch (k) {
    case DriverKind::DarwinAio:
      return "DarwinAio";
    case DriverKind::Polling:
      return "Polling";
    case DriverKind::IoUring:
      return "IoUring";
    default:
      return "IoUringWithoutNameOpcodes";
  }
}

// The runtime driver a kind runs on (darwin-aio needs none: Polling, never skipped).
inline RuntimeDriverChoice runtime_choice(DriverKind k) {
  return k == DriverKind::DarwinAio || k == DriverKind::Polling ? RuntimeDriverChoice::Polling
                                                                 : RuntimeDriverChoice::IoUring;
}

// A driver of any kind (darwin-aio, or the runtime backend on either runtime
// driver) behind the same submit-and-wait calls.
class AnyBackend {
 public:
  explicit AnyBackend(DriverKind kind) {
    if (kind == DriverKind::DarwinAio) {
      auto d = Driver::create(BackendKind::DarwinAio);
      if (d) aio_ = std::move(d).value();
      return;
    }
    if (kind == DriverKind::IoUringWithoutNameOpcodes) {
      for (int op : kNameOpcodes) runtime::testing::hide_ring_opcode(op);
    }
    compio_ = std::make_unique<Backend>(runtime_choice(kind));
    runtime::testing::hide_ring_opcode(-1);  // read once, at ring setup
  }
  bool started() const { return aio_ || (compio_ && compio_->started()); }
  Driver& driver() { return aio_ ? *aio_ : compio_->driver(); }
  OpId submit(Op op, ReplySlot& slot) { return driver().submit(std::move(op), slot.fn()); }
  OpResult call(Op op) {
    ReplySlot slot;
    submit(std::move(op), slot);
    auto r = slot.wait();
    if (!r) return IoError::custom(IoErrorKind::Other, "test: no reply within the time limit");
    return std::move(*r);
  }
  OpResult meta(MetaOp m) { return call(op::Meta{std::move(m)}); }

 private:
  std::unique_ptr<Driver> aio_;
  std::unique_ptr<Backend> compio_;
};

// A fresh directory under the build's temp dir, removed with its files.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/kestrelio-test-XXXXXX";
    path_ = ::mkdtemp(tmpl);
  }
  ~TempDir() {
    std::string cmd = "rm -rf '" + path_ + "'";
    if (std::system(cmd.c_str()) != 0) {
    }
  }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  std::string write(const std::string& name, const std::string& content) const {
    std::string p = file(name);
    int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
      if (::write(fd, content.data(), content.size()) < 0) {
      }
      ::close(fd);
    }
    return p;
  }

 private:
  std::string path_;
};

// The bytes of a reply that must be reply::Bytes ("<none>" and a failure otherwise).
inline std::string bytes_of(const OpResult& r) {
  auto* b = r.get_if<reply::Bytes>();
  EXPECT_NE(b, nullptr) << (r.ok() ? to_text(r.reply()) : r.error().to_string());
  return b ? std::string(b->data.begin(), b->data.end()) : std::string("<none>");
}

inline void expect_errno(const OpResult& r, int e) {
  ASSERT_FALSE(r.ok()) << to_text(r.reply());
  EXPECT_EQ(r.error().raw_os_error(), e) << r.error().to_string();
}

inline std::string slurp(const std::string& path) {
  std::string out;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
  ::close(fd);
  return out;
}

inline int count_open_fds() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (::readdir(d)) ++n;
    ::closedir(d);
  }
  return n;
}

// Threads of this process whose name is `name` (as the kernel keeps it: at
// most 15 characters, so "kestrelio-compio" reads back as "kestrelio-compi").
inline int count_threads_named(std::string name) {
  if (name.size() > 15) name.resize(15);
  int n = 0;
  DIR* d = ::opendir("/proc/self/task");
  if (!d) return -1;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::string comm = slurp(std::string("/proc/self/task/") + e->d_name + "/comm");
    while (!comm.empty() && comm.back() == '\n') comm.pop_back();
    if (comm == name) ++n;
  }
  ::closedir(d);
  return n;
}

template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = std::chrono::milliseconds(20000)) {
  auto until = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < until) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pred();
}

}  // namespace kestrelio::testing
