#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "test_darwin_aio_harness.hpp"

using namespace kestrelio;
using namespace kestrelio::aio_testing;

namespace {

TEST(DarwinAioIo, ZeroLengthReadsAnswerWithoutIo) {
  TempDir dir;
  auto& sys = keep_alive<HookSys>();
  auto& requests = count_aio_reads(sys);
  auto d = make_driver(sys);
  HandleId h = open_handle(*d, dir.write("f", "abc"), true, false);
  Replies r;
  d->submit(op::Read{h, 0, ReadBuf::owned(0)}, r.fn(0));
  std::uint8_t b[1];
  d->submit(op::Read{h, 0, ReadBuf::raw(b, 0)}, r.fn(1));
  auto owned = r.wait(0);
  ASSERT_TRUE(owned && owned->get_if<reply::Bytes>());
  EXPECT_TRUE(owned->get_if<reply::Bytes>()->data.empty());
  auto raw = r.wait(1);
  ASSERT_TRUE(raw && raw->get_if<reply::Read>());
  EXPECT_EQ(raw->get_if<reply::Read>()->n, 0u);
  EXPECT_EQ(requests.load(), 0);
}

TEST(DarwinAioIo, ShortReadsContinueAtPosPlusDone) {
  TempDir dir;
  std::string content = pattern(10000);
  auto& sys = keep_alive<HookSys>();
  struct Log {
    std::mutex m;
    std::vector<std::pair<off_t, std::size_t>> requests;  // offset, size asked
  };
  auto& log = keep_alive<Log>();
  sys.on_aio_read = [&](aiocb* cb) {
    {
      std::lock_guard<std::mutex> g(log.m);
      log.requests.emplace_back(cb->aio_offset, cb->aio_nbytes);
    }
    if (cb->aio_nbytes > 1500) cb->aio_nbytes = 1500;  // the kernel moves at most 1500 bytes a time
    return ::aio_read(cb);
  };
  auto d = make_driver(sys);
  HandleId h = open_handle(*d, dir.write("f", content), true, false);
  Replies r;
  std::vector<std::uint8_t> buf(6000);
  d->submit(op::Read{h, 100, ReadBuf::raw(buf.data(), buf.size())}, r.fn(0));
  auto res = r.wait(0);
  ASSERT_TRUE(res && res->get_if<reply::Read>());
  EXPECT_EQ(res->get_if<reply::Read>()->n, 6000u);
  EXPECT_EQ(std::string(buf.begin(), buf.end()), content.substr(100, 6000));
  std::lock_guard<std::mutex> g(log.m);
  std::vector<std::pair<off_t, std::size_t>> want{{100, 6000}, {1600, 4500}, {3100, 3000}, {4600, 1500}};
  EXPECT_EQ(log.requests, want);
}

// A read to end sized at one byte, because the size is unknown (fstat fails)
// or because the file held one byte then and grows while the first request
// is on its way, doubles its room as it goes and reads everything.
class DarwinAioReadToEnd : public ::testing::TestWithParam<bool> {};

TEST_P(DarwinAioReadToEnd, GrowsFromOneByte) {
  const bool grows = GetParam();
  TempDir dir;
  std::string content = pattern(300000);
  std::string path = dir.write("f", grows ? content.substr(0, 1) : content);
  auto& sys = keep_alive<HookSys>();
  struct Log {
    std::mutex m;
    std::vector<std::uint64_t> capacities;
    bool fail_fstat = false;
    std::string path, rest;
  };
  auto& log = keep_alive<Log>();
  log.path = path;
  if (grows) log.rest = content.substr(1);
  sys.on_fstat = [&](int fd, struct stat* st) {
    {
      std::lock_guard<std::mutex> g(log.m);
      if (std::exchange(log.fail_fstat, false)) {
        errno = EIO;
        return -1;
      }
    }
    return ::fstat(fd, st);
  };
  sys.on_aio_read = [&](aiocb* cb) {
    {
      std::lock_guard<std::mutex> g(log.m);
      log.capacities.push_back(static_cast<std::uint64_t>(cb->aio_offset) + cb->aio_nbytes);  // pos 0: done + left
      if (!log.rest.empty()) std::ofstream(log.path, std::ios::binary | std::ios::app) << std::exchange(log.rest, {});
    }
    return ::aio_read(cb);
  };
  auto d = make_driver(sys);
  HandleId h = open_handle(*d, path, true, false);
  {
    std::lock_guard<std::mutex> g(log.m);
    log.fail_fstat = !grows;  // the next fstat is the one sizing the buffer
  }
  EXPECT_EQ(bytes_of(call(*d, op::ReadToEnd{h, 0})), content);
  std::lock_guard<std::mutex> g(log.m);
  EXPECT_EQ(log.capacities, (std::vector<std::uint64_t>{1, 65537, 131074, 262148, 524296}));
}

INSTANTIATE_TEST_SUITE_P(Cases, DarwinAioReadToEnd, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "FileGrowsWhileItIsRead" : "SizeUnknown"; });

TEST(DarwinAioIo, RequestsAskForNoCompletionSignal) {
  // Completions are polled for; a zeroed sigevent means SIGEV_SIGNAL on
  // Linux, which would cost a signal system call per completion.
  TempDir dir;
  auto& sys = keep_alive<HookSys>();
  struct Seen {
    std::mutex m;
    std::vector<int> notify;
  };
  auto& seen = keep_alive<Seen>();
  auto record = [&](aiocb* cb) {
    std::lock_guard<std::mutex> g(seen.m);
    seen.notify.push_back(cb->aio_sigevent.sigev_notify);
  };
  sys.on_aio_read = [&](aiocb* cb) {
    record(cb);
    return ::aio_read(cb);
  };
  sys.on_aio_write = [&](aiocb* cb) {
    record(cb);
    return ::aio_write(cb);
  };
  auto d = make_driver(sys);
  std::string path = dir.write("f", pattern(10000));
  HandleId h = open_handle(*d, path, true, true);
  Replies r;
  d->submit(op::Read{h, 0, ReadBuf::owned(5000)}, r.fn(1));
  d->submit(op::Write{false, h, 0, Payload::owned(std::vector<std::uint8_t>(100, 7))}, r.fn(2));
  ASSERT_TRUE(r.wait(1) && r.wait(2));
  std::lock_guard<std::mutex> g(seen.m);
  ASSERT_EQ(seen.notify.size(), 2u);
  for (int n : seen.notify) EXPECT_EQ(n, SIGEV_NONE);
}

TEST(DarwinAioIo, ReadToEndOfKnownSizeMakesNoExtraRequest) {
  TempDir dir;
  std::string content = pattern(70000);
  auto& sys = keep_alive<HookSys>();
  auto& requests = count_aio_reads(sys);
  auto d = make_driver(sys);
  HandleId h = open_handle(*d, dir.write("f", content), true, false);
  EXPECT_EQ(bytes_of(call(*d, op::ReadToEnd{h, 5})), content.substr(5));
  EXPECT_EQ(requests.load(), 1);
}

TEST(DarwinAioIo, EagainWithNothingInFlightRunsSynchronously) {
  TempDir dir;
  std::string content = pattern(4096);
  std::string path = dir.write("f", content);
  auto& sys = keep_alive<HookSys>();
  std::atomic<int> preads{0}, pwrites{0};
  auto refuse = [](aiocb*) {
    errno = EAGAIN;
    return -1;
  };
  sys.on_aio_read = refuse;
  sys.on_aio_write = refuse;
  sys.on_pread = [&](int fd, void* b, size_t n, off_t off) {
    ++preads;
    return ::pread(fd, b, n > 1000 ? 1000 : n, off);  // short, so the fallback must continue
  };
  sys.on_pwrite = [&](int fd, const void* b, size_t n, off_t off) {
    ++pwrites;
    return ::pwrite(fd, b, n, off);
  };
  auto d = make_driver(sys);
  HandleId h = open_handle(*d, path, true, true);
  EXPECT_EQ(bytes_of(call(*d, op::Read{h, 0, ReadBuf::owned(4096)})), content);
  EXPECT_EQ(preads.load(), 5);
  OpResult w = call(*d, op::Write{false, h, 4096, Payload::owned({1, 2, 3})});
  ASSERT_NE(w.get_if<reply::Written>(), nullptr);
  EXPECT_EQ(w.get_if<reply::Written>()->end, 4099u);
  EXPECT_EQ(pwrites.load(), 1);
}

TEST(DarwinAioIo, EagainWithRequestsInFlightWaitsForASlot) {
  Held t;
  t.sys.eagain_at = 1;  // the kernel takes one request at a time
  Replies r;
  t.d->submit(op::Read{t.h, 0, ReadBuf::owned(10)}, r.fn(0));
  ASSERT_TRUE(t.sys.wait_held(1));
  t.d->submit(op::Read{t.h, 10, ReadBuf::owned(10)}, r.fn(1));
  t.d->submit(op::Read{t.h, 20, ReadBuf::owned(10)}, r.fn(2));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(r.count(), 0u) << "refused jobs wait instead of running synchronously";
  EXPECT_EQ(t.sys.held(), 1u);
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(t.sys.wait_held(1));
    t.sys.release_all();
    ASSERT_TRUE(r.wait_count(static_cast<std::size_t>(round + 1)));
  }
  EXPECT_EQ(r.order(), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(bytes_of(*r.wait(2)), t.content.substr(20, 10));
  EXPECT_EQ(t.sys.started(), 3);
}

TEST(DarwinAioIo, MaxInflightLeavesTheExtraJobQueued) {
  Held t(3);
  Replies r;
  for (int i = 0; i < 4; ++i) t.d->submit(op::Read{t.h, static_cast<std::uint64_t>(i) * 100, ReadBuf::owned(100)}, r.fn(i));
  ASSERT_TRUE(t.sys.wait_held(3));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(t.sys.started(), 3);
  t.sys.release_all();
  ASSERT_TRUE(r.wait_count(3));
  ASSERT_TRUE(t.sys.wait_held(1)) << "the queued job is submitted after a completion";
  EXPECT_EQ(t.sys.started(), 4);
  t.sys.release_all();
  ASSERT_TRUE(r.wait_count(4));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(bytes_of(*r.wait(i)), t.content.substr(static_cast<std::size_t>(i) * 100, 100));
}

TEST(DarwinAioIo, WriteThatMovesNothingFailsInsteadOfSpinning) {
  TempDir dir;
  std::string path = dir.write("f", "");
  auto& sys = keep_alive<HookSys>();
  std::atomic<int> attempts{0};
  sys.on_aio_write = [&](aiocb* cb) {
    ++attempts;
    cb->aio_nbytes = 0;  // the device accepts nothing
    return ::aio_write(cb);
  };
  sys.on_write = [&](int, const void*, size_t) -> ssize_t {
    ++attempts;
    return 0;
  };
  auto d = make_driver(sys);
  HandleId h = open_handle(*d, path, true, true);
  EXPECT_TRUE(is_custom(call(*d, op::Write{false, h, 0, Payload::owned({1, 2, 3})}), IoErrorKind::WriteZero,
                        "failed to write whole buffer"));
  EXPECT_EQ(attempts.load(), 1);
}

TEST(DarwinAioIo, SubmissionErrorIsTheReply) {
  TempDir dir;
  auto& sys = keep_alive<HookSys>();
  sys.on_aio_read = [](aiocb*) {
    errno = EBADF;
    return -1;
  };
  auto d = make_driver(sys);
  HandleId h = open_handle(*d, dir.write("f", "abc"), true, false);
  EXPECT_TRUE(is_errno(call(*d, op::Read{h, 0, ReadBuf::owned(3)}), EBADF));
  EXPECT_NE(call(*d, op::Close{h}).get_if<reply::Unit>(), nullptr);
}

}  // namespace
