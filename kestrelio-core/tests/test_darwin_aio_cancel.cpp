#include <gtest/gtest.h>

#include <set>

#include "test_darwin_aio_harness.hpp"

using namespace kestrelio;
using namespace kestrelio::aio_testing;

namespace {

// Submits a Nop and waits for it: every message sent before it has been handled.
void barrier(Driver& d) { ASSERT_TRUE(call(d, op::Nop{}).ok()); }

TEST(DarwinAioClose, DeferredUntilTheInflightReadAnswers) {
  Held t;
  Replies r;
  t.d->submit(op::Read{t.h, 0, ReadBuf::owned(10)}, r.fn(0));
  ASSERT_TRUE(t.sys.wait_held(1));
  t.d->submit(op::Close{t.h}, r.fn(1));
  t.d->submit(op::Read{t.h, 0, ReadBuf::owned(10)}, r.fn(2));
  t.d->submit(op::Close{t.h}, r.fn(3));
  t.d->submit(op::Size{t.h}, r.fn(4));
  EXPECT_TRUE(is_custom(r.wait(2), IoErrorKind::InvalidInput, kUnknownHandle));
  EXPECT_TRUE(is_custom(r.wait(3), IoErrorKind::InvalidInput, kUnknownHandle));
  EXPECT_TRUE(is_custom(r.wait(4), IoErrorKind::InvalidInput, kUnknownHandle));
  std::this_thread::sleep_for(10ms);
  EXPECT_EQ(r.count_of(1), 0u) << "the close waits for the read";
  t.sys.release_all();
  ASSERT_TRUE(r.wait_count(5));
  EXPECT_EQ(r.order(), (std::vector<int>{2, 3, 4, 0, 1}));
  EXPECT_EQ(bytes_of(*r.wait(0)), t.content.substr(0, 10));
  EXPECT_TRUE(r.wait(1)->get_if<reply::Unit>());
}

TEST(DarwinAioCancel, QueuedJobAnswersAtOnceAndCompletesAPendingClose) {
  Held t(1);
  Replies r;
  t.d->submit(op::Read{t.h, 0, ReadBuf::owned(10)}, r.fn(0));
  ASSERT_TRUE(t.sys.wait_held(1));
  OpId queued = t.d->submit(op::Write{false, t.h, 0, Payload::owned({'Z'})}, r.fn(1));
  t.d->cancel(queued);
  EXPECT_TRUE(is_errno(r.wait(1), ECANCELED));
  EXPECT_EQ(t.sys.started(), 1) << "cancelled before any I/O";
  t.d->cancel(queued);  // already answered: nothing happens
  t.d->cancel(9999);    // unknown
  t.d->submit(op::Close{t.h}, r.fn(2));
  barrier(*t.d);
  EXPECT_EQ(r.count_of(2), 0u);
  t.sys.release_all();
  ASSERT_TRUE(r.wait_count(3));
  EXPECT_EQ(r.order(), (std::vector<int>{1, 0, 2}));
  EXPECT_EQ(slurp(t.dir.file("f")), t.content) << "the cancelled write never ran";
}

TEST(DarwinAioCancel, LastQueuedJobCancelledCompletesTheClose) {
  Held t(1);
  Replies r;
  HandleId other = open_handle(*t.d, t.dir.file("f"), true, false);
  t.d->submit(op::Read{t.h, 0, ReadBuf::owned(10)}, r.fn(0));
  ASSERT_TRUE(t.sys.wait_held(1));
  OpId queued = t.d->submit(op::Read{other, 0, ReadBuf::owned(10)}, r.fn(1));
  t.d->submit(op::Close{other}, r.fn(2));
  t.d->cancel(queued);
  EXPECT_TRUE(is_errno(r.wait(1), ECANCELED));
  auto closed = r.wait(2);
  EXPECT_TRUE(closed && closed->get_if<reply::Unit>());
  EXPECT_EQ(r.order(), (std::vector<int>{1, 2}));
  t.sys.release_all();
  ASSERT_TRUE(r.wait_count(3));
}

TEST(DarwinAioCancel, RequestTheKernelWouldNotCancelKeepsItsResult) {
  Held t(std::nullopt, true);
  Replies r;
  OpId id = t.d->submit(op::Read{t.h, 0, ReadBuf::owned(10)}, r.fn(0));
  ASSERT_TRUE(t.sys.wait_held(1));
  t.d->cancel(id);
  barrier(*t.d);
  EXPECT_EQ(t.sys.cancels(), 1);
  EXPECT_EQ(r.count(), 0u);
  t.sys.release_all();
  auto res = r.wait(0);
  ASSERT_TRUE(res && res->ok());
  EXPECT_EQ(bytes_of(*res), t.content.substr(0, 10));
  EXPECT_EQ(r.count_of(0), 1u);
}

TEST(DarwinAioCancel, PartlyDoneCancelledReadStopsWithEcanceled) {
  Held t(std::nullopt, true);
  t.sys.max_transfer = 100;
  Replies r;
  OpId id = t.d->submit(op::Read{t.h, 0, ReadBuf::owned(800)}, r.fn(0));
  ASSERT_TRUE(t.sys.wait_held(1));
  t.d->cancel(id);  // refused: the request finishes, but only in part
  barrier(*t.d);
  t.sys.release_all();
  EXPECT_TRUE(is_errno(r.wait(0), ECANCELED));
  EXPECT_EQ(t.sys.started(), 1) << "the rest was not requested";
}

// glibc queues a descriptor's requests behind one another, and cancelling the
// first while it waits for a worker strands the rest. The driver must never
// cancel a request that others on its descriptor may be queued behind.
TEST(DarwinAioCancel, CancelNeverStrandsRequestsQueuedOnTheSameDescriptor) {
  Held t;
  t.sys.strands_followers = true;
  HandleId other = open_handle(*t.d, t.dir.file("f"), true, false);
  Replies r;
  OpId first = t.d->submit(op::Read{t.h, 0, ReadBuf::owned(10)}, r.fn(0));
  t.d->submit(op::Read{t.h, 10, ReadBuf::owned(10)}, r.fn(1));
  OpId alone = t.d->submit(op::Read{other, 20, ReadBuf::owned(10)}, r.fn(2));
  ASSERT_TRUE(t.sys.wait_held(3));
  t.d->cancel(first);
  t.d->cancel(alone);
  EXPECT_TRUE(is_errno(r.wait(2), ECANCELED)) << "alone on its descriptor, it is really cancelled";
  barrier(*t.d);
  EXPECT_EQ(t.sys.cancels(), 1);
  EXPECT_EQ(t.sys.stranded(), 0);
  t.sys.release_all();
  ASSERT_TRUE(r.wait_count(3));
  // Left to finish, the first read keeps its real result.
  EXPECT_EQ(bytes_of(*r.wait(0)), t.content.substr(0, 10));
  EXPECT_EQ(bytes_of(*r.wait(1)), t.content.substr(10, 10));
}

TEST(DarwinAioCancel, RealKernelRequestsAnswerOnceWhateverTheRace) {
  TempDir dir;
  std::string content = pattern(1 << 20);
  auto d = make_driver();
  HandleId h = open_handle(*d, dir.write("f", content), true, false);
  Replies r;
  constexpr int kOps = 64;
  for (int i = 0; i < kOps; ++i) {
    OpId id = d->submit(op::Read{h, static_cast<std::uint64_t>(i) * 16384, ReadBuf::owned(16384)}, r.fn(i));
    if (i % 2 == 0) d->cancel(id);
  }
  ASSERT_TRUE(r.wait_count(kOps));
  std::this_thread::sleep_for(5ms);
  EXPECT_EQ(r.count(), static_cast<std::size_t>(kOps));
  for (int i = 0; i < kOps; ++i) {
    auto res = r.wait(i);
    EXPECT_EQ(r.count_of(i), 1u);
    if (res->ok()) {
      EXPECT_EQ(bytes_of(*res), content.substr(static_cast<std::size_t>(i) * 16384, 16384)) << i;
    } else {
      EXPECT_TRUE(i % 2 == 0 && is_errno(res, ECANCELED)) << i << " " << res->error().to_string();
    }
  }
}

TEST(DarwinAioCancel, OpenAtHelperAnswersEcanceledAtOnceAndClosesTheLateDescriptor) {
  TempDir dir;
  std::string path = dir.write("f", "abc");
  std::string slow = dir.write("slow", "def");
  auto& sys = keep_alive<HeldAio>();
  // HeldAio holds the reads; the open of "slow" is held by a separate hook layer below.
  struct SlowOpen final : public RealSys {
    HeldAio* aio;
    std::string slow_path;
    std::mutex m;
    std::condition_variable cv;
    bool entered = false, go = false;
    std::string thread;
    int fd = -1;
    std::set<int> closed;

    int aio_read(aiocb* cb) noexcept override { return aio->aio_read(cb); }
    int aio_error(const aiocb* cb) noexcept override { return aio->aio_error(cb); }
    ssize_t aio_return(aiocb* cb) noexcept override { return aio->aio_return(cb); }
    int aio_suspend(const aiocb* const l[], int n, const timespec* t) noexcept override { return aio->aio_suspend(l, n, t); }
    int aio_cancel(int f, aiocb* cb) noexcept override { return aio->aio_cancel(f, cb); }
    int open(const char* p, int f, mode_t mode) noexcept override {
      int got = RealSys::open(p, f, mode);
      if (slow_path != p) return got;
      std::unique_lock<std::mutex> g(m);
      entered = true;
      thread = current_thread_name();
      fd = got;
      cv.notify_all();
      cv.wait(g, [&] { return go; });
      return got;
    }
    int close(int f) noexcept override {
      {
        std::lock_guard<std::mutex> g(m);
        closed.insert(f);
      }
      return RealSys::close(f);
    }
  };
  auto& layer = keep_alive<SlowOpen>();
  layer.aio = &sys;
  layer.slow_path = slow;
  DriverOptions o;
  o.aio_sys = &layer;
  o.max_inflight = 1;
  auto d = make_driver(o);
  HandleId h = open_handle(*d, path, true, false);
  Replies r;
  // One read in flight and one queued: the backend has a backlog, so the
  // open goes to a helper.
  d->submit(op::Read{h, 0, ReadBuf::owned(1)}, r.fn(0));
  ASSERT_TRUE(sys.wait_held(1));
  d->submit(op::Read{h, 1, ReadBuf::owned(1)}, r.fn(1));
  op::Open open;
  open.read = true;
  open.path = slow;
  OpId open_id = d->submit(std::move(open), r.fn(2));
  {
    std::unique_lock<std::mutex> g(layer.m);
    ASSERT_TRUE(layer.cv.wait_for(g, reply_limit(), [&] { return layer.entered; }));
    EXPECT_EQ(layer.thread, "kestrelio-open");
  }
  d->cancel(open_id);
  EXPECT_TRUE(is_errno(r.wait(2), ECANCELED)) << "answered while the open still runs";
  {
    std::lock_guard<std::mutex> g(layer.m);
    layer.go = true;
  }
  layer.cv.notify_all();
  EXPECT_TRUE(eventually([&] {
    std::lock_guard<std::mutex> g(layer.m);
    return layer.fd >= 0 && layer.closed.count(layer.fd) == 1;
  })) << "the descriptor opened after the cancel was closed";
  sys.release_all();
  ASSERT_TRUE(sys.wait_held(1));
  sys.release_all();
  ASSERT_TRUE(r.wait_count(3));
  EXPECT_EQ(open_handle(*d, path, true, false), 2u) << "the cancelled open registered no handle";
}

TEST(DarwinAioLoop, MessageDuringPollingIsHandledWithinATimeout) {
  Held t;
  Replies r;
  t.d->submit(op::Read{t.h, 0, ReadBuf::owned(10)}, r.fn(0));
  ASSERT_TRUE(t.sys.wait_held(1));
  std::this_thread::sleep_for(5ms);  // let the timeout back off to its longest
  for (int i = 1; i <= 5; ++i) {
    auto start = std::chrono::steady_clock::now();
    t.d->submit(op::Nop{}, r.fn(i));
    ASSERT_TRUE(r.wait(i));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, 50ms) << "a Nop waited for the held request";
    std::this_thread::sleep_for(2ms);
  }
  EXPECT_EQ(r.count_of(0), 0u);
  t.sys.release_all();
  EXPECT_TRUE(r.wait(0) && r.wait(0)->ok());
}

TEST(DarwinAioLoop, DroppingTheDriverDoesNotBlockAndQueuedWorkStillAnswers) {
  Held t(2);
  Replies r;
  for (int i = 0; i < 5; ++i) t.d->submit(op::Read{t.h, static_cast<std::uint64_t>(i), ReadBuf::owned(1)}, r.fn(i));
  t.d->submit(op::Nop{}, r.fn(5));
  t.d->submit(op::Close{t.h}, r.fn(6));
  ASSERT_TRUE(t.sys.wait_held(2));
  auto start = std::chrono::steady_clock::now();
  t.d.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 50ms);
  // Keep releasing: the remaining reads reach the kernel as slots free up.
  ASSERT_TRUE(eventually([&] {
    t.sys.release_all();
    return r.count() >= 7;
  })) << r.count();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(bytes_of(*r.wait(i)), t.content.substr(static_cast<std::size_t>(i), 1));
  EXPECT_TRUE(r.wait(6)->get_if<reply::Unit>());
  EXPECT_TRUE(eventually([] { return count_threads_named("kestrelio-open") == 0; })) << "the backend ends afterwards";
}

}  // namespace

namespace {

TEST(DarwinAioCancel, ManyCancelsAgainstALongQueueHitExactlyTheirJobs) {
  Held t(1);
  Replies r;
  constexpr int kReads = 6000;
  std::vector<OpId> ids;
  for (int i = 0; i < kReads; ++i) ids.push_back(t.d->submit(op::Read{t.h, 0, ReadBuf::owned(1)}, r.fn(i)));
  ASSERT_TRUE(t.sys.wait_held(1));
  // Ids already answered, unknown ids, and every third queued read.
  Replies done;
  for (int i = 0; i < 100; ++i) t.d->cancel(t.d->submit(op::Nop{}, done.fn(i)));
  for (int i = 0; i < 100; ++i) t.d->cancel(ids.back() + 1000 + static_cast<OpId>(i));
  for (int i = 1; i < kReads; i += 3) t.d->cancel(ids[static_cast<std::size_t>(i)]);
  barrier(*t.d);
  auto deadline = std::chrono::steady_clock::now() + reply_limit();
  while (r.count() < kReads && std::chrono::steady_clock::now() < deadline) {
    t.sys.release_all();
    std::this_thread::sleep_for(20us);
  }
  ASSERT_TRUE(r.wait_count(kReads));
  for (int i = 0; i < kReads; ++i) {
    ASSERT_EQ(r.count_of(i), 1u) << i;
    auto res = r.wait(i);
    if (i % 3 == 1) {
      EXPECT_TRUE(is_errno(res, ECANCELED)) << i;
    } else {
      EXPECT_TRUE(res->ok()) << i;
    }
  }
}

}  // namespace

namespace {

TEST(DarwinAioAppendOrder, WhereTheKernelMayReorderOneAppendPerDescriptorIsInFlight) {
  TempDir dir;
  auto& sys = keep_alive<HeldAio>();
  sys.reorders = true;
  auto d = make_driver(sys);
  std::string path = dir.write("log", "");
  HandleId h = open_handle(*d, path, false, true);
  Replies r;
  for (int i = 0; i < 3; ++i) {
    d->submit(op::Write{true, h, static_cast<std::uint64_t>(i), Payload::owned({static_cast<std::uint8_t>('a' + i)})},
              r.fn(i));
  }
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(sys.wait_held(1));
    barrier(*d);
    EXPECT_EQ(sys.held(), 1u) << "the next append waits for this one";
    sys.release_all();
    ASSERT_TRUE(r.wait(i));
  }
  EXPECT_EQ(r.order(), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(slurp(path), "abc");
}

}  // namespace
