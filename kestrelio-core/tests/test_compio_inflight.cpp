#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "compio_harness.hpp"

using namespace kestrelio;
using namespace kestrelio::testing;

namespace {

constexpr std::size_t kLen = 10;
const std::string kData = "0123456789";

// A handle whose next read stays in flight until release(). On io_uring the
// read waits in the kernel on an empty FIFO; on the polling driver the pool
// job is held at the gate (a positional read of a FIFO is ESPIPE there).
class CompioInFlight : public ::testing::TestWithParam<RuntimeDriverChoice> {
 protected:
  bool uring() const { return GetParam() == RuntimeDriverChoice::IoUring; }

  void SetUp() override {
    KESTRELIO_SKIP_WITHOUT_IO_URING(GetParam());
    if (uring()) {
      path = dir.file("fifo");
      ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
      // O_RDWR keeps a writer present, so the backend's open does not block.
      writer = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
      ASSERT_GE(writer, 0);
    } else {
      path = dir.write("slow", kData);
    }
    baseline_fds = count_open_fds();
    backend = std::make_unique<Backend>(GetParam());
    ASSERT_TRUE(backend->started());
    OpResult r = backend->call(op::Open{true, false, false, false, false, false, path});
    ASSERT_NE(r.get_if<reply::Handle>(), nullptr) << (r.ok() ? "" : r.error().to_string());
    handle = r.get_if<reply::Handle>()->id;
    fds_with_handle = count_open_fds();
  }
  void TearDown() override {
    if (backend) backend->gate().open();
    backend.reset();
    if (writer >= 0) ::close(writer);
  }

  void hold() {
    if (!uring()) backend->gate().close();
  }
  // Returns once the read task is waiting for its kernel read.
  void wait_in_flight() {
    if (!uring()) {
      ASSERT_TRUE(backend->gate().wait_held());
    }
    // A Nop submitted after the read answers only after the read task ran up
    // to its first wait (tasks start in submission order).
    ASSERT_NE(backend->call(op::Nop{}).get_if<reply::Unit>(), nullptr);
  }
  void release() {
    if (uring()) {
      ASSERT_EQ(::write(writer, kData.data(), kData.size()), static_cast<ssize_t>(kData.size()));
    } else {
      backend->gate().open();
    }
  }

  TempDir dir;
  std::string path;
  int writer = -1;
  int baseline_fds = 0;     // before the backend existed
  int fds_with_handle = 0;  // backend running, `handle` open
  std::unique_ptr<Backend> backend;
  HandleId handle = 0;
};

TEST_P(CompioInFlight, CancelDuringAReadAbortsItOnTheRingAndAnswersAfterItElsewhere) {
  hold();
  std::uint8_t buf[kLen] = {};
  ReplySlot read;
  OpId id = backend->submit(op::Read{handle, 0, ReadBuf::raw(buf, kLen)}, read);
  wait_in_flight();
  backend->driver().cancel(id);
  ASSERT_NE(backend->call(op::Nop{}).get_if<reply::Unit>(), nullptr);  // the Cancel has been taken
  if (uring()) {
    // The kernel gives the read up without waiting for a writer, having taken nothing.
    auto r = read.wait();
    ASSERT_TRUE(r) << "the aborted read answers before any write";
    ASSERT_FALSE(r->ok()) << to_text(r->reply());
    EXPECT_EQ(r->error().raw_os_error(), ECANCELED);
    release();
    std::uint8_t next[kLen] = {};
    OpResult again = backend->call(op::Read{handle, 0, ReadBuf::raw(next, kLen)});
    ASSERT_NE(again.get_if<reply::Read>(), nullptr) << (again.ok() ? "" : again.error().to_string());
    EXPECT_EQ(std::memcmp(next, kData.data(), kLen), 0);  // every byte was left for the next read
    EXPECT_EQ(std::count(buf, buf + kLen, 0), static_cast<long>(kLen));
    return;
  }
  EXPECT_FALSE(read.ready());
  release();
  auto r = read.wait();
  ASSERT_TRUE(r);
  ASSERT_FALSE(r->ok()) << to_text(r->reply());
  // The flag wins even though this read brought all kLen bytes.
  EXPECT_EQ(r->error().raw_os_error(), ECANCELED);
  EXPECT_EQ(std::memcmp(buf, kData.data(), kLen), 0);  // what was placed stays
}

TEST_P(CompioInFlight, CloseWaitsForTheReadInFlight) {
  hold();
  std::uint8_t buf[kLen] = {};
  ReplySlot read, close;
  backend->submit(op::Read{handle, 0, ReadBuf::raw(buf, kLen)}, read);
  wait_in_flight();
  backend->submit(op::Close{handle}, close);
  OpResult later = backend->call(op::Size{handle});
  ASSERT_FALSE(later.ok());
  EXPECT_STREQ(later.error().message(), kUnknownHandle);
  EXPECT_FALSE(read.ready());
  EXPECT_FALSE(close.ready());
  release();
  auto c = close.wait();
  ASSERT_TRUE(c);
  EXPECT_NE(c->get_if<reply::Unit>(), nullptr);
  ASSERT_TRUE(read.ready());  // the read replied before the close
  auto r = read.wait();
  ASSERT_NE(r->get_if<reply::Read>(), nullptr) << (r->ok() ? "" : r->error().to_string());
  EXPECT_EQ(r->get_if<reply::Read>()->n, kLen);
  EXPECT_EQ(count_open_fds(), fds_with_handle - 1);
}

TEST_P(CompioInFlight, DroppingTheDriverMidReadEndsTheThreadAndTouchesNothingAfter) {
  std::string other = dir.write("other", "x");
  ASSERT_NE(backend->call(op::Open{true, false, false, false, false, false, other}).get_if<reply::Handle>(), nullptr);
  hold();
  std::vector<std::uint8_t> raw(kLen, 0xAA);
  ReplySlot raw_read, owned_read;
  backend->submit(op::Read{handle, 0, ReadBuf::raw(raw.data(), kLen)}, raw_read);
  backend->submit(op::Read{handle, 0, ReadBuf::owned(kLen)}, owned_read);
  wait_in_flight();

  backend->drop_driver();
  if (!uring()) {
    // The pool job must finish before the runtime lets go; hold it a little
    // so the teardown really waits for it.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    backend->gate().open();
  }
  backend->join();

  EXPECT_FALSE(raw_read.ready());
  EXPECT_FALSE(owned_read.ready());
  EXPECT_EQ(count_open_fds(), baseline_fds);  // the table's files are closed
  if (uring()) {
    // The kernel read was cancelled and reaped: data arriving now is never
    // delivered into the caller's buffer.
    release();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(raw, std::vector<std::uint8_t>(kLen, 0xAA));
  }
}

INSTANTIATE_TEST_SUITE_P(Drivers, CompioInFlight,
                         ::testing::Values(RuntimeDriverChoice::Polling, RuntimeDriverChoice::IoUring),
                         [](const auto& info) { return std::string(choice_name(info.param)); });

class CompioCancelBeforeStart : public ::testing::TestWithParam<RuntimeDriverChoice> {};

TEST_P(CompioCancelBeforeStart, CancelInTheSameBatchMeansNoKernelWork) {
  KESTRELIO_SKIP_WITHOUT_IO_URING(GetParam());
  TempDir dir;
  std::string fresh = dir.file("must-not-exist");
  std::string existing = dir.write("e", "abc");
  ReplySlot open_new, read_file, nop;
  // Queued before the backend starts, so its first batch holds all of them.
  Backend backend(GetParam(), [&](Driver& d) {
    OpId a = d.submit(op::Open{false, true, false, false, true, false, fresh}, open_new.fn());
    OpId b = d.submit(op::ReadFile{100, existing}, read_file.fn());
    d.cancel(a);
    d.cancel(b);
    d.submit(op::Nop{}, nop.fn());
  });
  ASSERT_TRUE(backend.started());
  for (ReplySlot* s : {&open_new, &read_file}) {
    auto r = s->wait();
    ASSERT_TRUE(r);
    ASSERT_FALSE(r->ok());
    EXPECT_EQ(r->error().raw_os_error(), ECANCELED);
  }
  EXPECT_TRUE(nop.wait());
  EXPECT_EQ(::access(fresh.c_str(), F_OK), -1);  // the open never ran
  // Both cancelled operations still took their numbers.
  OpResult r = backend.call(op::Open{true, false, false, false, false, false, existing});
  ASSERT_NE(r.get_if<reply::Handle>(), nullptr);
  EXPECT_EQ(r.get_if<reply::Handle>()->id, 3u);
}

INSTANTIATE_TEST_SUITE_P(Drivers, CompioCancelBeforeStart,
                         ::testing::Values(RuntimeDriverChoice::Polling, RuntimeDriverChoice::IoUring),
                         [](const auto& info) { return std::string(choice_name(info.param)); });

// The polling driver opens on the pool. An open that returns while the
// runtime is being dropped is never reaped, yet its descriptor must close.
TEST(CompioTeardown, OpensFinishingOnThePoolAfterTheDriverIsDroppedLeaveNoDescriptor) {
  TempDir dir;
  std::string existing = dir.write("e", "abcdef");
  int baseline_fds = count_open_fds();
  {
    Backend backend(RuntimeDriverChoice::Polling);
    ASSERT_TRUE(backend.started());
    backend.gate().close();
    ReplySlot opened, read_file, write_file;
    backend.submit(op::Open{true, false, false, false, false, false, existing}, opened);
    backend.submit(op::ReadFile{1, existing}, read_file);  // large: would stay open under its handle
    backend.submit(op::WriteFile{Payload::owned({'x'}), dir.file("w")}, write_file);
    ASSERT_TRUE(eventually([&] { return backend.gate().held() == 3; }));  // each open(2) waits at the gate

    backend.drop_driver();
    // Let the teardown reach its wait for the pool before the opens run.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    backend.gate().open();
    backend.join();

    EXPECT_FALSE(opened.ready());  // abandoned: their replies are dropped uncalled
    EXPECT_FALSE(read_file.ready());
    EXPECT_FALSE(write_file.ready());
    EXPECT_EQ(::access(dir.file("w").c_str(), F_OK), 0);  // the opens did run
  }
  EXPECT_EQ(count_open_fds(), baseline_fds);
}

}  // namespace
