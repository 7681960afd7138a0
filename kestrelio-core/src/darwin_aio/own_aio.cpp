#include "darwin_aio/own_aio.hpp"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "thread.hpp"

namespace kestrelio::darwin_aio {

namespace {

enum Kind : int { kRead, kWrite, kSync };

// Enough for the descriptors one driver keeps busy at once; requests of one
// descriptor run one after another anyway.
constexpr unsigned kMaxWorkers = 8;

struct Request {
  int kind;
  int fd;
  void* buf;
  std::size_t len;
  off_t offset;
  bool started = false;
  int err = EINPROGRESS;
  ssize_t ret = -1;
};

}  // namespace

struct OwnThreadsAio::State {
  std::mutex m;
  std::condition_variable work;      // idle workers wait for a runnable descriptor
  std::condition_variable finished;  // aio_suspend waits for any request to finish
  std::unordered_map<const aiocb*, Request> requests;
  std::unordered_map<int, std::deque<aiocb*>> waiting;  // per descriptor, not yet started, in order
  std::unordered_set<int> running;                      // descriptors with a request at a worker
  std::deque<int> runnable;  // descriptors with a waiting request and none running
  unsigned workers = 0;
  unsigned idle = 0;
  Sys* io = nullptr;  // the layer the transfers go through; outlives the workers

  void work_loop();
};

void OwnThreadsAio::State::work_loop() {
  std::unique_lock<std::mutex> lock(m);
  for (;;) {
    // Idle workers block without timeout: they live as long as the process.
    ++idle;
    work.wait(lock, [&] { return !runnable.empty(); });
    --idle;
    int fd = runnable.front();
    runnable.pop_front();
    auto q = waiting.find(fd);
    // A stale entry: its requests were cancelled, or another worker runs it
    // and queues it again when done.
    if (q == waiting.end() || q->second.empty() || running.count(fd) != 0) continue;
    aiocb* cb = q->second.front();
    q->second.pop_front();
    running.insert(fd);
    Request& r = requests.at(cb);
    r.started = true;
    const Request job = r;
    lock.unlock();
    ssize_t n;
    if (job.kind == kRead) {
      n = io->pread(job.fd, job.buf, job.len, job.offset);
    } else if (job.kind == kWrite) {
      // On Linux pwrite appends on an O_APPEND descriptor, as glibc's AIO relies on.
      n = io->pwrite(job.fd, job.buf, job.len, job.offset);
    } else {
      n = io->fsync(job.fd);
    }
    int err = n < 0 ? errno : 0;
    lock.lock();
    Request& done = requests.at(cb);  // only aio_return removes it, after it finished
    done.err = err;
    done.ret = n;
    running.erase(fd);
    q = waiting.find(fd);
    if (q != waiting.end()) {
      if (q->second.empty()) {
        waiting.erase(q);
      } else {
        runnable.push_back(fd);
        work.notify_one();
      }
    }
    finished.notify_all();
  }
}

OwnThreadsAio::OwnThreadsAio() : state_(std::make_shared<State>()) { state_->io = this; }

int OwnThreadsAio::start(aiocb* cb, int kind) noexcept {
  State& s = *state_;
  std::lock_guard<std::mutex> g(s.m);
  if (s.idle == 0 && s.workers < kMaxWorkers) {
    auto body = [state = state_] { state->work_loop(); };
    if (spawn_detached("kestrelio-io", std::move(body))) {
      if (s.workers == 0) {
        // Nobody could run it; the caller falls back to a synchronous call.
        errno = EAGAIN;
        return -1;
      }
    } else {
      ++s.workers;
    }
  }
  s.requests[cb] = Request{kind, cb->aio_fildes, const_cast<void*>(cb->aio_buf), cb->aio_nbytes, cb->aio_offset};
  std::deque<aiocb*>& q = s.waiting[cb->aio_fildes];
  q.push_back(cb);
  if (q.size() == 1 && s.running.count(cb->aio_fildes) == 0) {
    s.runnable.push_back(cb->aio_fildes);
    s.work.notify_one();
  }
  return 0;
}

int OwnThreadsAio::aio_read(aiocb* cb) noexcept { return start(cb, kRead); }
int OwnThreadsAio::aio_write(aiocb* cb) noexcept { return start(cb, kWrite); }
int OwnThreadsAio::aio_fsync(int, aiocb* cb) noexcept { return start(cb, kSync); }

int OwnThreadsAio::aio_error(const aiocb* cb) noexcept {
  std::lock_guard<std::mutex> g(state_->m);
  auto it = state_->requests.find(cb);
  if (it == state_->requests.end()) {
    errno = EINVAL;
    return -1;
  }
  return it->second.err;
}

ssize_t OwnThreadsAio::aio_return(aiocb* cb) noexcept {
  std::lock_guard<std::mutex> g(state_->m);
  auto it = state_->requests.find(cb);
  if (it == state_->requests.end() || it->second.err == EINPROGRESS) {
    errno = EINVAL;
    return -1;
  }
  ssize_t ret = it->second.ret;
  state_->requests.erase(it);
  return ret;
}

int OwnThreadsAio::aio_suspend(const aiocb* const list[], int count, const timespec* timeout) noexcept {
  State& s = *state_;
  std::unique_lock<std::mutex> lock(s.m);
  auto any_done = [&] {
    for (int i = 0; i < count; ++i) {
      auto it = list[i] ? s.requests.find(list[i]) : s.requests.end();
      if (it != s.requests.end() && it->second.err != EINPROGRESS) return true;
    }
    return false;
  };
  bool done;
  if (!timeout) {
    s.finished.wait(lock, any_done);
    done = true;
  } else {
    auto limit = std::chrono::seconds(timeout->tv_sec) + std::chrono::nanoseconds(timeout->tv_nsec);
    done = s.finished.wait_for(lock, limit, any_done);
  }
  if (done) return 0;
  errno = EAGAIN;
  return -1;
}

int OwnThreadsAio::aio_cancel(int, aiocb* cb) noexcept {
  State& s = *state_;
  std::lock_guard<std::mutex> g(s.m);
  if (!cb) return AIO_NOTCANCELED;  // cancelling a whole descriptor is never asked for
  auto it = s.requests.find(cb);
  if (it == s.requests.end()) {
    errno = EINVAL;
    return -1;
  }
  Request& r = it->second;
  if (r.err != EINPROGRESS) return AIO_ALLDONE;
  if (r.started) return AIO_NOTCANCELED;
  std::deque<aiocb*>& q = s.waiting[r.fd];
  for (auto at = q.begin(); at != q.end(); ++at) {
    if (*at == cb) {
      q.erase(at);
      break;
    }
  }
  r.err = ECANCELED;
  r.ret = -1;
  s.finished.notify_all();
  return AIO_CANCELED;
}

}  // namespace kestrelio::darwin_aio
