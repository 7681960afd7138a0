#include "loop_ring/executor.hpp"

#include <cerrno>

#include "loop_ring/loop_runtime.hpp"
#include "runtime/test_hooks.hpp"
#if KESTRELIO_HAVE_URING
#include "runtime/uring_driver.hpp"
#endif

namespace kestrelio::loop_ring {

namespace {

class Executor final : public LocalExecutor {
 public:
  void submit(Op op, ReplyFn reply, OpId id) override {
    auto rt = LoopRuntime::for_this_thread();
    if (!rt) {
      std::move(reply)(rt.error());
      return;
    }
    rt.value()->submit(msg::Submit{std::move(op), std::move(reply), id});
  }
  void cancel(OpId id) override { LoopRuntime::cancel_anywhere(id); }
};

}  // namespace

std::unique_ptr<LocalExecutor> make_executor() { return std::make_unique<Executor>(); }

Expected<bool> available() {
#if KESTRELIO_HAVE_URING
  return runtime::UringDriver::probe();
#else
  int e = runtime::testing::ring_setup_failure();
  return IoError::os(e ? e : ENOSYS);
#endif
}

}  // namespace kestrelio::loop_ring
