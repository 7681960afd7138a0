#pragma once

#include <coroutine>
#include <deque>
#include <optional>
#include <vector>

#include "kestrelio/channel.hpp"
#include "runtime/runtime.hpp"

namespace kestrelio::runtime {

// The receiving end of a channel, awaitable on the runtime. Every message
// already queued is taken in one go and handed out without suspending, so a
// loop over recv() consumes a whole burst before any task it spawns runs.
template <class T>
class AsyncReceiver final : public RemoteWaiter {
 public:
  explicit AsyncReceiver(Receiver<T> rx) : rx_(std::move(rx)), rt_(Runtime::current()) {
    rt_.add_remote_waiter(this);
    rx_.set_waker(&rt_.cross_wake());
  }
  AsyncReceiver(const AsyncReceiver&) = delete;
  AsyncReceiver& operator=(const AsyncReceiver&) = delete;
  ~AsyncReceiver() override {
    rx_.set_waker(nullptr);  // under the channel lock: no wake() after this
    rt_.remove_remote_waiter(this);
  }

  class Awaiter {
   public:
    explicit Awaiter(AsyncReceiver& r) noexcept : r_(r) {}
    bool await_ready() { return r_.refill(); }
    void await_suspend(std::coroutine_handle<> h) noexcept { r_.waiting_ = h; }
    // nullopt once every sender is gone and nothing is left.
    std::optional<T> await_resume() { return r_.pop(); }

   private:
    AsyncReceiver& r_;
  };
  Awaiter recv() { return Awaiter(*this); }

  void on_remote_wake() override {
    if (waiting_ && refill()) rt_.schedule(std::exchange(waiting_, {}));
  }

 private:
  // True when pop() has something to say: a message, or the disconnection.
  bool refill() {
    if (!buffer_.empty() || disconnected_) return true;
    scratch_.clear();
    disconnected_ = rx_.try_recv_all(scratch_);
    for (auto& m : scratch_) buffer_.push_back(std::move(m));
    scratch_.clear();
    return !buffer_.empty() || disconnected_;
  }
  std::optional<T> pop() {
    if (buffer_.empty()) return std::nullopt;
    std::optional<T> v(std::move(buffer_.front()));
    buffer_.pop_front();
    return v;
  }

  Receiver<T> rx_;
  Runtime& rt_;
  std::deque<T> buffer_;
  std::vector<T> scratch_;
  bool disconnected_ = false;
  std::coroutine_handle<> waiting_;
};

}  // namespace kestrelio::runtime
