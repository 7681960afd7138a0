#pragma once

#include <coroutine>
#include <exception>
#include <optional>
#include <utility>

namespace kestrelio::runtime {

class Runtime;

namespace detail {

// Where a finished task goes: back to the coroutine awaiting it, or, for a
// detached task, to its runtime, which frees the frame.
struct PromiseBase {
  std::coroutine_handle<> continuation;
  Runtime* detached_on = nullptr;
  std::exception_ptr exception;

  std::suspend_always initial_suspend() noexcept { return {}; }
  void unhandled_exception() noexcept { exception = std::current_exception(); }

  struct FinalAwaiter {
    bool await_ready() noexcept { return false; }
    template <class P>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<P> h) noexcept {
      PromiseBase& p = h.promise();
      if (p.continuation) return p.continuation;
      if (p.detached_on) finish_detached(p.detached_on, h);
      return std::noop_coroutine();
    }
    void await_resume() noexcept {}
  };
  FinalAwaiter final_suspend() noexcept { return {}; }

  static void finish_detached(Runtime* rt, std::coroutine_handle<> h) noexcept;
};

template <class T>
struct Promise : PromiseBase {
  std::optional<T> value;
  template <class U>
  void return_value(U&& v) {
    value.emplace(std::forward<U>(v));
  }
  T take() {
    if (exception) std::rethrow_exception(exception);
    return std::move(*value);
  }
};

template <>
struct Promise<void> : PromiseBase {
  void return_void() noexcept {}
  void take() {
    if (exception) std::rethrow_exception(exception);
  }
};

}  // namespace detail

// A lazily started asynchronous procedure. Awaiting it runs it to its end on
// the awaiting thread (symmetric transfer, no queueing); Runtime::spawn runs
// it detached and Runtime::block_on drives it from a plain function.
template <class T = void>
class [[nodiscard]] Task {
 public:
  struct promise_type : detail::Promise<T> {
    Task get_return_object() noexcept { return Task(std::coroutine_handle<promise_type>::from_promise(*this)); }
  };
  using Handle = std::coroutine_handle<promise_type>;

  Task(Task&& o) noexcept : h_(std::exchange(o.h_, {})) {}
  Task& operator=(Task&& o) noexcept {
    if (this != &o) {
      reset();
      h_ = std::exchange(o.h_, {});
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() { reset(); }

  bool await_ready() const noexcept { return false; }
  std::coroutine_handle<> await_suspend(std::coroutine_handle<> caller) noexcept {
    h_.promise().continuation = caller;
    return h_;
  }
  T await_resume() { return h_.promise().take(); }

  bool done() const noexcept { return h_ && h_.done(); }
  // Gives up ownership of the frame (to the runtime, for a detached task).
  Handle release() noexcept { return std::exchange(h_, {}); }
  Handle handle() const noexcept { return h_; }

 private:
  explicit Task(Handle h) noexcept : h_(h) {}
  void reset() noexcept {
    if (h_) std::exchange(h_, {}).destroy();
  }
  Handle h_;
};

}  // namespace kestrelio::runtime
