#include "runtime/file.hpp"

#include "runtime/ordered_lane.hpp"
#include "runtime/runtime.hpp"

namespace kestrelio::runtime {

void File::reset() noexcept {
  if (!inner_) return;
  // After this reference goes only the closer's own remains: let it run.
  if (inner_->closer && inner_.use_count() == 2) Runtime::current().schedule(std::exchange(inner_->closer, {}));
  inner_.reset();
}

OrderedLane& File::ordered_lane() const {
  if (!inner_->lane) inner_->lane = std::make_shared<OrderedLane>();
  return *inner_->lane;
}

CloseAwaiter::~CloseAwaiter() {
  // A closer destroyed while waiting (runtime teardown) must not be woken.
  if (me_ && f_.inner_ && f_.inner_->closer == me_) f_.inner_->closer = {};
}

UniqueFd CloseAwaiter::await_resume() noexcept {
  me_ = {};
  UniqueFd fd = std::move(f_.inner_->fd);
  f_.inner_.reset();
  return fd;
}

}  // namespace kestrelio::runtime
