#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace kestrelio::runtime {

// A move-only nullary callable: pool jobs own buffers and payloads, which
// std::function (copyable) cannot hold.
class Job {
 public:
  Job() = default;
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, Job>>>
  Job(F f) : impl_(std::make_unique<Impl<std::decay_t<F>>>(std::move(f))) {}
  Job(Job&&) noexcept = default;
  Job& operator=(Job&&) noexcept = default;

  explicit operator bool() const noexcept { return impl_ != nullptr; }
  void operator()() { impl_->call(); }

 private:
  struct Base {
    virtual ~Base() = default;
    virtual void call() = 0;
  };
  template <class F>
  struct Impl final : Base {
    explicit Impl(F fn) : f(std::move(fn)) {}
    void call() override { f(); }
    F f;
  };
  std::unique_ptr<Base> impl_;
};

}  // namespace kestrelio::runtime
