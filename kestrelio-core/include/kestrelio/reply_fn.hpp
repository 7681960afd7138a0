#pragma once

#include <memory>
#include <type_traits>
#include <utility>

#include "kestrelio/reply.hpp"

namespace kestrelio {

// One-shot result callback: move-only, callable once from any thread.
// Destroying it uncalled releases what it holds; the operation then never
// answers (only work abandoned when a backend thread ends does that).
class ReplyFn {
 public:
  ReplyFn() = default;
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, ReplyFn>>>
  ReplyFn(F f) : impl_(std::make_unique<Impl<std::decay_t<F>>>(std::move(f))) {}

  ReplyFn(ReplyFn&&) noexcept = default;
  ReplyFn& operator=(ReplyFn&&) noexcept = default;
  ReplyFn(const ReplyFn&) = delete;
  ReplyFn& operator=(const ReplyFn&) = delete;

  explicit operator bool() const noexcept { return impl_ != nullptr; }

  // Consumes the callback: call as std::move(fn)(result). What the callback
  // holds is released after it has run.
  void operator()(OpResult result) && {
    std::unique_ptr<Base> impl = std::move(impl_);
    impl->call(std::move(result));
  }

 private:
  struct Base {
    virtual ~Base() = default;
    virtual void call(OpResult&& r) = 0;
  };
  template <class F>
  struct Impl final : Base {
    explicit Impl(F fn) : f(std::move(fn)) {}
    void call(OpResult&& r) override { f(std::move(r)); }
    F f;
  };
  std::unique_ptr<Base> impl_;
};

}  // namespace kestrelio
