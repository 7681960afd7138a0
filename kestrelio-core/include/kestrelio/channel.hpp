#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "kestrelio/spin_wait.hpp"

namespace kestrelio {

// Something a receiver wants poked whenever its channel gains a message or
// loses its last sender. Called with the channel's lock held, so it must be
// short and must not touch the channel (a condition-variable notify, or an
// eventfd write).
class Waker {
 public:
  virtual ~Waker() = default;
  virtual void wake() noexcept = 0;
};

// A Waker that lets one thread block on several channels at once: register it
// on each, read generation(), try every channel, and wait_past() the value
// read. A wake between the read and the wait bumps the generation, so it is
// never lost.
//
// The waiter looks at the generation for a short while before it sleeps, so
// a burst of sends to a busy receiver costs no system call on either side:
// a sender only enters the kernel when the receiver really sleeps.
class Signal final : public Waker {
 public:
  void wake() noexcept override {
    // Dekker pairing with wait_past: the generation is bumped before the
    // sleepers are counted here, and counted there before the generation is
    // read, so one of the two sides always sees the other.
    gen_.fetch_add(1, std::memory_order_seq_cst);
    if (sleepers_.load(std::memory_order_seq_cst) == 0) return;
    // Taking the lock orders this notify after the sleeper's check: it is
    // either still before its wait (and will see the new generation) or
    // already waiting.
    { std::lock_guard<std::mutex> g(m_); }
    cv_.notify_one();
  }
  std::uint64_t generation() const noexcept { return gen_.load(std::memory_order_acquire); }
  // Blocks until some wake() after `seen`. No timeout: the caller has nothing
  // else to do until a message or a disconnection arrives.
  void wait_past(std::uint64_t seen) {
    if (spin_until([&] { return gen_.load(std::memory_order_acquire) != seen; })) return;
    std::unique_lock<std::mutex> g(m_);
    sleepers_.fetch_add(1, std::memory_order_seq_cst);
    while (gen_.load(std::memory_order_seq_cst) == seen) cv_.wait(g);
    sleepers_.fetch_sub(1, std::memory_order_relaxed);
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::atomic<std::uint64_t> gen_{0};
  std::atomic<std::uint32_t> sleepers_{0};
};

template <class T>
class Sender;
template <class T>
class Receiver;

namespace detail {

template <class T>
struct ChannelState {
  std::mutex m;
  std::condition_variable cv;  // receivers blocked in recv()
  std::deque<T> queue;
  std::size_t senders = 1;
  std::size_t receivers = 1;
  std::size_t blocked = 0;  // receivers waiting on cv
  Waker* waker = nullptr;

  // Caller holds m.
  void notify_locked() noexcept {
    if (blocked) cv.notify_one();
    if (waker) waker->wake();
  }
};

}  // namespace detail

template <class T>
struct TryRecv {
  std::optional<T> value;
  bool disconnected = false;  // every sender gone and the queue empty
};

// Sending end of an unbounded multi-producer, multi-consumer channel. Copying
// clones the sender; a send fails once every receiver is gone.
template <class T>
class Sender {
 public:
  Sender() = default;
  Sender(const Sender& o) : s_(o.s_) {
    if (s_) {
      std::lock_guard<std::mutex> g(s_->m);
      ++s_->senders;
    }
  }
  Sender(Sender&& o) noexcept = default;
  Sender& operator=(Sender o) noexcept {
    std::swap(s_, o.s_);
    return *this;
  }
  ~Sender() { reset(); }

  // Queues `v` and returns nullopt; hands `v` back when no receiver is left.
  // Never blocks on capacity.
  std::optional<T> send(T v) {
    if (!s_) return std::optional<T>(std::move(v));
    std::lock_guard<std::mutex> g(s_->m);
    if (s_->receivers == 0) return std::optional<T>(std::move(v));
    s_->queue.push_back(std::move(v));
    s_->notify_locked();
    return std::nullopt;
  }

  void reset() noexcept {
    if (!s_) return;
    {
      std::lock_guard<std::mutex> g(s_->m);
      if (--s_->senders == 0) {
        // Receivers learn of the disconnection once the queue is empty.
        if (s_->blocked) s_->cv.notify_all();
        if (s_->waker) s_->waker->wake();
      }
    }
    s_.reset();
  }
  explicit operator bool() const noexcept { return s_ != nullptr; }

 private:
  template <class U>
  friend std::pair<Sender<U>, Receiver<U>> channel();
  explicit Sender(std::shared_ptr<detail::ChannelState<T>> s) : s_(std::move(s)) {}
  std::shared_ptr<detail::ChannelState<T>> s_;
};

// Receiving end. Copying clones the receiver (several threads may share the
// queue; each message goes to exactly one of them). When the last receiver
// goes, queued messages are destroyed at once (outside the lock) and later
// sends fail.
template <class T>
class Receiver {
 public:
  Receiver() = default;
  Receiver(const Receiver& o) : s_(o.s_) {
    if (s_) {
      std::lock_guard<std::mutex> g(s_->m);
      ++s_->receivers;
    }
  }
  Receiver(Receiver&& o) noexcept = default;
  Receiver& operator=(Receiver o) noexcept {
    std::swap(s_, o.s_);
    return *this;
  }
  ~Receiver() { reset(); }

  // Blocks until a message arrives (returned) or every sender is gone and the
  // queue is empty (nullopt).
  std::optional<T> recv() {
    std::unique_lock<std::mutex> g(s_->m);
    while (s_->queue.empty() && s_->senders != 0) {
      ++s_->blocked;
      s_->cv.wait(g);
      --s_->blocked;
    }
    if (s_->queue.empty()) return std::nullopt;
    std::optional<T> v(std::move(s_->queue.front()));
    s_->queue.pop_front();
    return v;
  }

  TryRecv<T> try_recv() {
    TryRecv<T> r;
    std::lock_guard<std::mutex> g(s_->m);
    if (!s_->queue.empty()) {
      r.value.emplace(std::move(s_->queue.front()));
      s_->queue.pop_front();
    } else {
      r.disconnected = s_->senders == 0;
    }
    return r;
  }

  // Moves every queued message to the back of `out` under one lock. Returns
  // true when the channel is disconnected and nothing more will come.
  bool try_recv_all(std::vector<T>& out) {
    std::lock_guard<std::mutex> g(s_->m);
    while (!s_->queue.empty()) {
      out.push_back(std::move(s_->queue.front()));
      s_->queue.pop_front();
    }
    return s_->senders == 0;
  }

  // Number of messages waiting, read under the channel lock.
  std::size_t len() const {
    std::lock_guard<std::mutex> g(s_->m);
    return s_->queue.size();
  }

  // Registers (or with nullptr removes) the waker poked on every send and on
  // disconnection. Removing it under the lock guarantees no later call.
  void set_waker(Waker* w) {
    std::lock_guard<std::mutex> g(s_->m);
    s_->waker = w;
  }

  void reset() noexcept {
    if (!s_) return;
    std::deque<T> dropped;
    {
      std::lock_guard<std::mutex> g(s_->m);
      if (--s_->receivers == 0) {
        dropped.swap(s_->queue);
        s_->waker = nullptr;
      }
    }
    s_.reset();
    // `dropped` is destroyed here, without the lock: destroying a message may
    // run arbitrary release code.
  }
  explicit operator bool() const noexcept { return s_ != nullptr; }

 private:
  template <class U>
  friend std::pair<Sender<U>, Receiver<U>> channel();
  explicit Receiver(std::shared_ptr<detail::ChannelState<T>> s) : s_(std::move(s)) {}
  std::shared_ptr<detail::ChannelState<T>> s_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> channel() {
  auto s = std::make_shared<detail::ChannelState<T>>();
  return {Sender<T>(s), Receiver<T>(s)};
}

}  // namespace kestrelio
