#pragma once

// Shared helpers of the darwin-aio backend tests: reply collection with
// timeouts, and fake system-call layers that inject failures or hold requests
// in flight (temporary files and counting from /proc come from compio_harness).

#include <aio.h>
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "compio_harness.hpp"
#include "darwin_aio/sys.hpp"
#include "kestrelio/driver.hpp"

namespace kestrelio::aio_testing {

using namespace std::chrono_literals;
using darwin_aio::RealSys;
using testing::bytes_of;
using testing::count_open_fds;
using testing::count_threads_named;
using testing::eventually;
using testing::slurp;
using testing::TempDir;

inline std::chrono::milliseconds reply_limit() { return 20s; }

inline std::string pattern(std::size_t n, unsigned seed = 7) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed) & 0xff);
  return s;
}

// Results by tag, in arrival order, waited for with a timeout so a lost
// reply fails the test instead of hanging it.
class Replies {
 public:
  struct Entry {
    int tag;
    OpResult result;
  };

  ReplyFn fn(int tag) {
    return [s = state_, tag](OpResult r) {
      std::lock_guard<std::mutex> g(s->m);
      s->entries.push_back(Entry{tag, std::move(r)});
      s->cv.notify_all();
    };
  }
  bool wait_count(std::size_t n, std::chrono::milliseconds limit = reply_limit()) {
    std::unique_lock<std::mutex> g(state_->m);
    return state_->cv.wait_for(g, limit, [&] { return state_->entries.size() >= n; });
  }
  // The result of `tag`, waiting for it.
  std::optional<OpResult> wait(int tag, std::chrono::milliseconds limit = reply_limit()) {
    std::unique_lock<std::mutex> g(state_->m);
    std::optional<OpResult> out;
    state_->cv.wait_for(g, limit, [&] {
      for (Entry& e : state_->entries)
        if (e.tag == tag) return true;
      return false;
    });
    for (Entry& e : state_->entries)
      if (e.tag == tag) out.emplace(e.result);
    return out;
  }
  std::size_t count() {
    std::lock_guard<std::mutex> g(state_->m);
    return state_->entries.size();
  }
  std::size_t count_of(int tag) {
    std::lock_guard<std::mutex> g(state_->m);
    std::size_t n = 0;
    for (Entry& e : state_->entries) n += e.tag == tag;
    return n;
  }
  std::vector<int> order() {
    std::lock_guard<std::mutex> g(state_->m);
    std::vector<int> tags;
    for (Entry& e : state_->entries) tags.push_back(e.tag);
    return tags;
  }

 private:
  struct State {
    std::mutex m;
    std::condition_variable cv;
    std::vector<Entry> entries;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

// Fake layers must outlive the detached backend threads, which may still be
// finishing after a test has its last reply; they are kept until exit.
// Never destroyed, not even at exit, when detached helpers may still hold them.
struct KeptObjects {
  KeptObjects() : list() {}
  ~KeptObjects() {}
  union {
    std::vector<std::shared_ptr<void>> list;
  };
};

template <class T, class... Args>
T& keep_alive(Args&&... args) {
  static std::mutex m;
  static KeptObjects kept;
  auto p = std::make_shared<T>(std::forward<Args>(args)...);
  std::lock_guard<std::mutex> g(m);
  kept.list.push_back(p);
  return *p;
}

inline std::unique_ptr<Driver> make_driver(DriverOptions options = {}) {
  auto d = Driver::create(BackendKind::DarwinAio, options);
  if (!d) return nullptr;
  return std::move(d).value();
}

// A driver whose system calls go through `sys`.
inline std::unique_ptr<Driver> make_driver(darwin_aio::Sys& sys) {
  DriverOptions options;
  options.aio_sys = &sys;
  return make_driver(options);
}

// Waits until no backend thread of an earlier test is left.
inline bool backends_gone() {
  return eventually([] { return count_threads_named("kestrelio-aio") == 0 && count_threads_named("kestrelio-open") == 0; });
}

inline std::string current_thread_name() {
  char buf[32] = {};
  pthread_getname_np(pthread_self(), buf, sizeof buf);
  return buf;
}

// The real calls, each replaceable by a hook set before the driver starts.
class HookSys final : public RealSys {
 public:
  std::function<int(aiocb*)> on_aio_read, on_aio_write;
  std::function<int(int, struct stat*)> on_fstat;
  std::function<int(const char*, int, mode_t)> on_open;
  std::function<int(int)> on_close;
  std::function<ssize_t(int, void*, size_t, off_t)> on_pread;
  std::function<ssize_t(int, const void*, size_t)> on_write;
  std::function<ssize_t(int, const void*, size_t, off_t)> on_pwrite;

  int aio_read(aiocb* cb) noexcept override { return on_aio_read ? on_aio_read(cb) : RealSys::aio_read(cb); }
  int aio_write(aiocb* cb) noexcept override { return on_aio_write ? on_aio_write(cb) : RealSys::aio_write(cb); }
  int fstat(int fd, struct stat* st) noexcept override { return on_fstat ? on_fstat(fd, st) : RealSys::fstat(fd, st); }
  int open(const char* p, int f, mode_t m) noexcept override { return on_open ? on_open(p, f, m) : RealSys::open(p, f, m); }
  int close(int fd) noexcept override { return on_close ? on_close(fd) : RealSys::close(fd); }
  ssize_t pread(int fd, void* b, size_t n, off_t o) noexcept override {
    return on_pread ? on_pread(fd, b, n, o) : RealSys::pread(fd, b, n, o);
  }
  ssize_t write(int fd, const void* b, size_t n) noexcept override {
    return on_write ? on_write(fd, b, n) : RealSys::write(fd, b, n);
  }
  ssize_t pwrite(int fd, const void* b, size_t n, off_t o) noexcept override {
    return on_pwrite ? on_pwrite(fd, b, n, o) : RealSys::pwrite(fd, b, n, o);
  }
};

// Counts the reads `sys` hands to the kernel.
inline std::atomic<int>& count_aio_reads(HookSys& sys) {
  auto& n = keep_alive<std::atomic<int>>(0);
  sys.on_aio_read = [&n](aiocb* cb) {
    ++n;
    return ::aio_read(cb);
  };
  return n;
}

// Keeps every AIO request "in the kernel" until the test releases it, then
// performs it synchronously when the driver next asks for its status.
class HeldAio final : public RealSys {
 public:
  // Refuse a new request with EAGAIN once this many are held (0: never).
  std::size_t eagain_at = 0;
  // aio_cancel answers AIO_NOTCANCELED, as glibc does for a started request.
  bool cancel_refuses = false;
  // Requests are not held: each is performed when its status is first asked.
  bool auto_release = false;
  // Moves at most this many bytes per request (0: all asked).
  std::size_t max_transfer = 0;
  // Behaves like glibc: cancelling a held request strands every later held
  // request on the same descriptor (it never completes), and says so.
  bool strands_followers = false;
  // Says that requests of one descriptor may run in any order, as the
  // kernel AIO of macOS may.
  bool reorders = false;

  int aio_read(aiocb* cb) noexcept override { return hold(cb, Kind::Read); }
  int aio_write(aiocb* cb) noexcept override { return hold(cb, Kind::Write); }
  int aio_fsync(int, aiocb* cb) noexcept override { return hold(cb, Kind::Sync); }

  int aio_error(const aiocb* cb) noexcept override {
    std::lock_guard<std::mutex> g(m_);
    Req& r = reqs_.at(cb);
    if (r.state == State::Held || r.state == State::Stranded) return EINPROGRESS;
    if (r.state == State::Released) {
      aiocb* c = const_cast<aiocb*>(cb);
      ssize_t n = 0;
      if (max_transfer != 0 && c->aio_nbytes > max_transfer) c->aio_nbytes = max_transfer;
      if (r.kind == Kind::Read) n = RealSys::pread(c->aio_fildes, const_cast<void*>(c->aio_buf), c->aio_nbytes, c->aio_offset);
      if (r.kind == Kind::Write) n = RealSys::pwrite(c->aio_fildes, const_cast<void*>(c->aio_buf), c->aio_nbytes, c->aio_offset);
      if (r.kind == Kind::Sync) n = RealSys::fsync(c->aio_fildes);
      r.err = n < 0 ? errno : 0;
      r.ret = n < 0 ? -1 : n;
      r.state = State::Done;
    }
    return r.err;
  }
  ssize_t aio_return(aiocb* cb) noexcept override {
    std::lock_guard<std::mutex> g(m_);
    auto it = reqs_.find(cb);
    ssize_t ret = it->second.ret;
    reqs_.erase(it);
    cv_.notify_all();
    return ret;
  }
  int aio_suspend(const aiocb* const[], int, const timespec* timeout) noexcept override {
    nanosleep(timeout, nullptr);
    return -1;
  }
  int aio_cancel(int, aiocb* cb) noexcept override {
    std::lock_guard<std::mutex> g(m_);
    cancels_.fetch_add(1);
    Req& r = reqs_.at(cb);
    if (cancel_refuses || r.state != State::Held) return AIO_NOTCANCELED;
    if (strands_followers) {
      for (auto& [other_cb, other] : reqs_) {
        if (other.state == State::Held && other.seq > r.seq && other_cb->aio_fildes == cb->aio_fildes) {
          other.state = State::Stranded;
        }
      }
    }
    r.state = State::Done;
    r.err = ECANCELED;
    r.ret = -1;
    return AIO_CANCELED;
  }

  bool cancel_strands_followers() const noexcept override { return strands_followers; }
  bool keeps_descriptor_order() const noexcept override { return !reorders; }
  int stranded() {
    std::lock_guard<std::mutex> g(m_);
    int n = 0;
    for (auto& [cb, r] : reqs_) n += r.state == State::Stranded;
    return n;
  }

  std::size_t held() {
    std::lock_guard<std::mutex> g(m_);
    return held_locked();
  }
  bool wait_held(std::size_t n, std::chrono::milliseconds limit = reply_limit()) {
    std::unique_lock<std::mutex> g(m_);
    return cv_.wait_for(g, limit, [&] { return held_locked() >= n; });
  }
  void release_all() {
    std::lock_guard<std::mutex> g(m_);
    for (auto& [cb, r] : reqs_)
      if (r.state == State::Held) r.state = State::Released;
  }
  int started() { return started_.load(); }
  int cancels() { return cancels_.load(); }

 private:
  enum class Kind { Read, Write, Sync };
  enum class State { Held, Released, Done, Stranded };
  struct Req {
    Kind kind;
    State state = State::Held;
    std::uint64_t seq = 0;  // submission order
    int err = 0;
    ssize_t ret = 0;
  };
  int hold(aiocb* cb, Kind kind) {
    std::lock_guard<std::mutex> g(m_);
    if (eagain_at != 0 && held_locked() >= eagain_at) {
      errno = EAGAIN;
      return -1;
    }
    reqs_[cb] = Req{kind, auto_release ? State::Released : State::Held, ++seq_, 0, 0};
    started_.fetch_add(1);
    cv_.notify_all();
    return 0;
  }
  std::size_t held_locked() const {
    std::size_t n = 0;
    for (auto& [cb, r] : reqs_) n += r.state == State::Held;
    return n;
  }
  std::mutex m_;
  std::condition_variable cv_;
  std::map<const aiocb*, Req> reqs_;
  std::uint64_t seq_ = 0;
  std::atomic<int> started_{0}, cancels_{0};
};

// Submits `op` and waits for its reply (a failure of its own if none comes in time).
inline OpResult call(Driver& d, Op op) {
  Replies r;
  d.submit(std::move(op), r.fn(0));
  auto res = r.wait(0);
  return res ? std::move(*res) : OpResult(IoError::custom(IoErrorKind::Other, "test: no reply within the time limit"));
}

// Opens a file through the driver and returns its handle (0 on failure).
inline HandleId open_handle(Driver& d, const std::string& path, bool read, bool write, bool append = false,
                            bool create = false) {
  OpResult res = call(d, op::Open{read, write, append, false, create, false, path});
  auto* h = res.get_if<reply::Handle>();
  return h ? h->id : 0;
}

// A driver over a HeldAio (at most `max_inflight` requests in the kernel) with a
// read-write handle on a file of 1000 pattern bytes.
struct Held {
  TempDir dir;
  std::string content = pattern(1000);
  HeldAio& sys = keep_alive<HeldAio>();
  std::unique_ptr<Driver> d;
  HandleId h = 0;

  explicit Held(std::optional<std::uint64_t> max_inflight = std::nullopt, bool cancel_refuses = false) {
    sys.cancel_refuses = cancel_refuses;
    DriverOptions o;
    o.aio_sys = &sys;
    o.max_inflight = max_inflight;
    d = make_driver(o);
    h = open_handle(*d, dir.write("f", content), true, true);
  }
};

inline bool is_errno(const std::optional<OpResult>& r, int e) {
  return r && !r->ok() && r->error().is_os() && r->error().raw_os_error() == e;
}
inline bool is_custom(const std::optional<OpResult>& r, IoErrorKind kind, const char* message) {
  return r && !r->ok() && !r->error().is_os() && r->error().kind() == kind && r->error().message() &&
         std::strcmp(r->error().message(), message) == 0;
}

}  // namespace kestrelio::aio_testing
