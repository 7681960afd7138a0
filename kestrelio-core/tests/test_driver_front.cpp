#include <gtest/gtest.h>

#include <thread>

#include "kestrelio/driver.hpp"

using namespace kestrelio;

TEST(DriverFront, SubmitAfterBackendEndedAnswersOnTheCallingThread) {
  auto [tx, rx] = channel<Msg>();
  auto driver = Driver::attach(std::move(tx), "test");
  rx.reset();  // the backend thread has ended
  int calls = 0;
  std::thread::id where;
  OpId id = driver->submit(op::Nop{}, [&](OpResult r) {
    ++calls;
    where = std::this_thread::get_id();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), IoErrorKind::BrokenPipe);
    EXPECT_STREQ(r.error().message(), kDriverGone);
  });
  EXPECT_EQ(id, 1u);
  EXPECT_EQ(calls, 1);  // before submit returned
  EXPECT_EQ(where, std::this_thread::get_id());
  driver->cancel(id);  // ignored
  EXPECT_EQ(driver->submit(op::Nop{}, [&](OpResult) { ++calls; }), 2u);
  EXPECT_EQ(calls, 2);
}
