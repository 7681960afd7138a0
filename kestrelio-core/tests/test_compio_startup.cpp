#include <gtest/gtest.h>

#include <cerrno>

#include "compio_harness.hpp"
#include "runtime/test_hooks.hpp"

using namespace kestrelio;
using namespace kestrelio::testing;

namespace {

struct RingSetupFails {
  explicit RingSetupFails(int e) { runtime::testing::set_ring_setup_failure(e); }
  ~RingSetupFails() { runtime::testing::set_ring_setup_failure(0); }
};

// Threads of drivers dropped by earlier tests leave on their own schedule;
// only this file starts "kestrelio-compio" threads, so wait for none.
bool no_compio_threads() {
  return eventually([] { return count_threads_named("kestrelio-compio") == 0; });
}

DriverOptions with(RuntimeDriverChoice c) {
  DriverOptions o;
  o.runtime_driver = c;
  return o;
}

TEST(CompioStartup, NamesFollowTheRuntimeDriver) {
  auto polling = Driver::create(BackendKind::Compio, with(RuntimeDriverChoice::Polling));
  ASSERT_TRUE(polling) << polling.error().to_string();
  EXPECT_STREQ(polling.value()->name(), "compio-polling");
  if (auto why = io_uring_unavailable()) {
    auto automatic = Driver::create(BackendKind::Compio, with(RuntimeDriverChoice::Auto));
    ASSERT_TRUE(automatic);
    EXPECT_STREQ(automatic.value()->name(), "compio-polling");
    GTEST_SKIP() << *why;
  }
  auto uring = Driver::create(BackendKind::Compio, with(RuntimeDriverChoice::IoUring));
  ASSERT_TRUE(uring) << uring.error().to_string();
  EXPECT_STREQ(uring.value()->name(), "compio-io-uring");
  auto automatic = Driver::create(BackendKind::Compio, with(RuntimeDriverChoice::Auto));
  ASSERT_TRUE(automatic);
  EXPECT_STREQ(automatic.value()->name(), "compio-io-uring");
}

TEST(CompioStartup, ForcedIoUringThatCannotBeBuiltFailsCreation) {
  ASSERT_TRUE(no_compio_threads());
  RingSetupFails hook(EPERM);
  auto d = Driver::create(BackendKind::Compio, with(RuntimeDriverChoice::IoUring));
  ASSERT_FALSE(d);
  EXPECT_EQ(d.error().raw_os_error(), EPERM);
  EXPECT_TRUE(no_compio_threads());
}

TEST(CompioStartup, AutoFallsBackToPolling) {
  RingSetupFails hook(ENOSYS);
  auto d = Driver::create(BackendKind::Compio, with(RuntimeDriverChoice::Auto));
  ASSERT_TRUE(d);
  EXPECT_STREQ(d.value()->name(), "compio-polling");
  ReplySlot slot;
  d.value()->submit(op::Nop{}, slot.fn());
  auto r = slot.wait();
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->ok());
}

TEST(CompioStartup, DroppingTheDriverEndsTheThreadWithoutBlocking) {
  for (auto c : {RuntimeDriverChoice::Polling, RuntimeDriverChoice::IoUring}) {
    KESTRELIO_SKIP_WITHOUT_IO_URING(c);  // IoUring comes last: Polling has run
    ASSERT_TRUE(no_compio_threads());
    {
      auto d = Driver::create(BackendKind::Compio, with(c));
      ASSERT_TRUE(d);
      EXPECT_EQ(count_threads_named("kestrelio-compio"), 1);
      for (int i = 0; i < 100; ++i) d.value()->submit(op::Nop{}, [](OpResult) {});
    }
    EXPECT_TRUE(no_compio_threads()) << choice_name(c);
  }
}

}  // namespace
