#pragma once

#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "runtime/fs.hpp"
#include "runtime/runtime.hpp"

namespace kestrelio::runtime {

// Outcome of a job run on the pool: `completed` is false when the job ended
// abnormally (threw) or never ran; `value` is set only when it completed.
template <class R>
struct BlockingResult {
  bool completed = false;
  std::optional<R> value;
};

// Runs `f` on a pool thread and awaits it. `f` and what it captures are
// released on the pool thread once it has run, so it must own nothing tied
// to the runtime thread (no File: pass the descriptor number and keep the
// File alive in the awaiting task). With a `lane`, `f` runs after every job
// submitted to that lane before it.
template <class F, class R = std::invoke_result_t<F&>>
Task<BlockingResult<R>> spawn_blocking(F f, OrderedLane* lane = nullptr) {
  auto slot = std::make_shared<BlockingResult<R>>();
  auto op = std::make_shared<OpState>(OpKind::Call);
  op->call = [f = std::move(f), slot]() mutable {
    try {
      slot->value.emplace(f());
      slot->completed = true;
    } catch (...) {
      slot->completed = false;
    }
  };
  co_await OpAwaiter(op, lane);
  co_return std::move(*slot);
}

}  // namespace kestrelio::runtime
