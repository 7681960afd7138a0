#include <gtest/gtest.h>

#include <cerrno>

#include "kestrelio/msg.hpp"
#include "kestrelio/reply.hpp"

using namespace kestrelio;

TEST(IoErrorText, OsErrorsCarryTheirNumber) {
  EXPECT_EQ(IoError::os(ENOENT).to_string(), "No such file or directory (os error " + std::to_string(ENOENT) + ")");
  EXPECT_EQ(IoError::os(EINTR).kind(), IoErrorKind::Interrupted);
  EXPECT_EQ(IoError::custom(IoErrorKind::InvalidInput, kUnknownHandle).to_string(), kUnknownHandle);
  EXPECT_EQ(IoError::custom(IoErrorKind::WriteZero, nullptr).to_string(), "write zero");
}

TEST(ReplyFn, RunsOnceAndReleasesOnDrop) {
  auto token = std::make_shared<int>(0);
  int calls = 0;
  {
    ReplyFn f([token, &calls](OpResult r) {
      ++calls;
      EXPECT_TRUE(r.get_if<reply::Unit>());
    });
    EXPECT_EQ(token.use_count(), 2);
    std::move(f)(reply::Unit{});
    EXPECT_FALSE(f);
    EXPECT_EQ(token.use_count(), 1);  // released right after the call
  }
  EXPECT_EQ(calls, 1);
  {
    ReplyFn g([token](OpResult) { ADD_FAILURE() << "dropped callback must not run"; });
    EXPECT_EQ(token.use_count(), 2);
  }
  EXPECT_EQ(token.use_count(), 1);
}
