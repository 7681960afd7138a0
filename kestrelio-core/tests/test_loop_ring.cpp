// The loop backend: operations spawned by submit run only when the thread
// drives its runtime; replies come inside the drive, exactly once.

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kestrelio/driver.hpp"
#include "kestrelio/loop_ring.hpp"

namespace kestrelio {
namespace {

// Each test body runs on a thread of its own, so it starts without a
// runtime and its runtime goes at thread exit.
void on_fresh_thread(const std::function<void()>& body) { std::thread(body).join(); }

std::unique_ptr<Driver> loop_driver() {
  auto d = Driver::create(BackendKind::LoopUring);
  if (!d) return nullptr;
  return std::move(d).value();
}

struct TempFile {
  std::string path;
  explicit TempFile(std::size_t size) {
    char name[] = "/tmp/kestrelio-loop-ring-XXXXXX";
    int fd = ::mkstemp(name);
    path = name;
    std::vector<std::uint8_t> data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    EXPECT_EQ(::write(fd, data.data(), size), static_cast<ssize_t>(size));
    ::close(fd);
  }
  ~TempFile() { ::unlink(path.c_str()); }
};

// Waits on the thread's two descriptors and drives for each, until `done`
// or about ten seconds.
bool drive_until(const std::function<bool()>& done) {
  auto fds = loop_ring::thread_fds();
  if (!fds) return false;
  while (loop_ring::drive(loop_ring::DriveCause::Flush)) {
  }
  for (int i = 0; i < 1000 && !done(); ++i) {
    pollfd p[2] = {{fds.value().wake_fd, POLLIN, 0}, {fds.value().completion_fd, POLLIN, 0}};
    int n = ::poll(p, fds.value().completion_fd >= 0 ? 2 : 1, 10);
    if (n <= 0) continue;
    // A drive that leaves work over asks for a Flush drive, as the event
    // loop's flush handle gives it.
    bool more = false;
    if (p[0].revents) more = loop_ring::drive(loop_ring::DriveCause::Wake);
    if (p[1].revents) more = loop_ring::drive(loop_ring::DriveCause::Completions) || more;
    while (more) more = loop_ring::drive(loop_ring::DriveCause::Flush);
  }
  return done();
}

HandleId open_handle(Driver& d, const std::string& path, int extra = 0) {
  HandleId id = 0;
  op::Open o;
  o.path = path;
  o.read = true;
  o.write = extra != 0;
  o.append = extra != 0;
  d.submit(std::move(o), [&](OpResult r) {
    if (auto* h = r.get_if<reply::Handle>()) id = h->id;
  });
  EXPECT_TRUE(drive_until([&] { return id != 0; }));
  return id;
}

#define SKIP_WITHOUT_LOOP_RING(d)                                                             \
  if (!(d) || std::string((d)->name()) != "loop-io-uring") {                                  \
    GTEST_SKIP() << "io_uring is unavailable here, the loop backend runs as the thread one"; \
  }

TEST(LoopRing, NothingRunsBeforeTheDriveAndEveryReadAnswersOnce) {
  auto d = loop_driver();
  SKIP_WITHOUT_LOOP_RING(d);
  TempFile f(256 * 1024);
  on_fresh_thread([&] {
    HandleId h = open_handle(*d, f.path);
    constexpr int kReads = 600;  // more than one drive's budget and the ring's size
    std::vector<int> answers(kReads, 0);
    std::vector<std::vector<std::uint8_t>> bufs(kReads, std::vector<std::uint8_t>(4096));
    std::atomic<int> during_submit{0};
    bool submitting = true;
    for (int i = 0; i < kReads; ++i) {
      std::uint64_t pos = static_cast<std::uint64_t>(i % 64) * 4096;
      d->submit(op::Read{h, pos, ReadBuf::raw(bufs[i].data(), 4096)}, [&, i](OpResult r) {
        if (submitting) during_submit.fetch_add(1);
        auto* n = r.get_if<reply::Read>();
        EXPECT_NE(n, nullptr);
        if (n) {
          EXPECT_EQ(n->n, 4096u);
        }
        ++answers[i];
      });
    }
    submitting = false;
    EXPECT_TRUE(loop_ring::request_flush(&answers));
    EXPECT_FALSE(loop_ring::request_flush(&answers));  // once until the flush runs
    EXPECT_TRUE(loop_ring::request_flush(&answers, true));  // one more, queued behind it
    (void)loop_ring::drive(loop_ring::DriveCause::Flush);
    EXPECT_FALSE(loop_ring::request_flush(&answers));  // the second has yet to run
    (void)loop_ring::drive(loop_ring::DriveCause::Flush);
    EXPECT_TRUE(loop_ring::request_flush(&answers));
    (void)loop_ring::drive(loop_ring::DriveCause::Flush);
    int total = 0;
    EXPECT_TRUE(drive_until([&] {
      total = 0;
      for (int a : answers) total += a;
      return total == kReads;
    }));
    EXPECT_EQ(during_submit.load(), 0);
    for (int i = 0; i < kReads; ++i) {
      ASSERT_EQ(answers[i], 1) << i;
      std::uint64_t pos = static_cast<std::uint64_t>(i % 64) * 4096;
      EXPECT_EQ(bufs[i][0], static_cast<std::uint8_t>(pos * 7 + 3));
    }
    EXPECT_EQ(loop_ring::thread_stats().tasks, 0u);
  });
}

TEST(LoopRing, ABudgetedDriveLeavesTheRestForTheNext) {
  auto d = loop_driver();
  SKIP_WITHOUT_LOOP_RING(d);
  on_fresh_thread([&] {
    loop_ring::set_drive_budget(4);
    int answered = 0;
    for (int i = 0; i < 20; ++i) d->submit(op::Nop{}, [&](OpResult) { ++answered; });
    EXPECT_TRUE(loop_ring::drive(loop_ring::DriveCause::Flush));
    EXPECT_EQ(answered, 4);
    while (loop_ring::drive(loop_ring::DriveCause::Flush)) {
    }
    EXPECT_EQ(answered, 20);
    loop_ring::set_drive_budget(0);
  });
}

TEST(LoopRing, APoolCompletionWhileParkedWakesTheWakeFd) {
  auto d = loop_driver();
  SKIP_WITHOUT_LOOP_RING(d);
  TempFile f(0);
  on_fresh_thread([&] {
    HandleId h = open_handle(*d, f.path, O_APPEND);
    for (int round = 0; round < 50; ++round) {
      bool done = false;
      // Appends run on the pool; their result comes back through the wake.
      d->submit(op::Write{true, h, 0, Payload::owned(std::vector<std::uint8_t>(10, 'x'))},
                [&](OpResult r) { done = r.get_if<reply::Written>() != nullptr; });
      EXPECT_FALSE(loop_ring::drive(loop_ring::DriveCause::Flush));  // parked, the job in flight or done
      auto fds = loop_ring::thread_fds().value();
      // Parked with the job posted meanwhile: only the descriptors can tell
      // us (the eventfd for the job, then the ring for the size that follows).
      while (!done) {
        pollfd p[2] = {{fds.wake_fd, POLLIN, 0}, {fds.completion_fd, POLLIN, 0}};
        ASSERT_GE(::poll(p, 2, 10000), 1) << "lost wake-up in round " << round;
        if (p[0].revents) loop_ring::drive(loop_ring::DriveCause::Wake);
        if (p[1].revents) loop_ring::drive(loop_ring::DriveCause::Completions);
      }
    }
    struct stat st {};
    ASSERT_EQ(::stat(f.path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 500);
  });
}

// The job serving a file's appends watches a moment for the next before it
// leaves: appends sent inside that moment, at its end and after it must each
// land once, in order, and answer.
TEST(LoopRing, AppendsSpacedAroundTheLanesWatchLandOnceInOrder) {
  auto d = loop_driver();
  SKIP_WITHOUT_LOOP_RING(d);
  TempFile f(0);
  const int gaps_us[] = {0, 10, 40, 50, 60, 120, 0, 0, 300, 45, 55};
  std::string expected;
  on_fresh_thread([&] {
    HandleId h = open_handle(*d, f.path, O_APPEND);
    int answered = 0;
    for (int round = 0; round < 200; ++round) {
      char c = static_cast<char>('a' + round % 26);
      expected += c;
      bool done = false;
      d->submit(op::Write{true, h, 0, Payload::owned(std::vector<std::uint8_t>(1, static_cast<std::uint8_t>(c)))},
                [&](OpResult r) {
                  done = r.get_if<reply::Written>() != nullptr;
                  ++answered;
                });
      ASSERT_TRUE(drive_until([&] { return done; })) << "round " << round;
      std::this_thread::sleep_for(std::chrono::microseconds(gaps_us[round % std::size(gaps_us)]));
    }
    EXPECT_EQ(answered, 200);
  });
  int fd = ::open(f.path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  std::string got(expected.size() + 1, '\0');
  EXPECT_EQ(::read(fd, got.data(), got.size()), static_cast<ssize_t>(expected.size()));
  ::close(fd);
  got.resize(expected.size());
  EXPECT_EQ(got, expected);
}

TEST(LoopRing, ACancelFromAnotherThreadReachesTheOperation) {
  auto d = loop_driver();
  SKIP_WITHOUT_LOOP_RING(d);
  TempFile f(4096);
  on_fresh_thread([&] {
    HandleId h = open_handle(*d, f.path);
    std::vector<std::uint8_t> buf(4096);
    std::optional<OpResult> got;
    OpId id = d->submit(op::Read{h, 0, ReadBuf::raw(buf.data(), 4096)}, [&](OpResult r) { got.emplace(std::move(r)); });
    std::thread([&] { d->cancel(id); }).join();
    EXPECT_TRUE(drive_until([&] { return got.has_value(); }));
    ASSERT_TRUE(got);
    ASSERT_FALSE(got->ok());
    EXPECT_EQ(got->error().raw_os_error(), ECANCELED);
  });
}

TEST(LoopRing, AHandleIsKnownOnlyOnTheThreadThatOpenedIt) {
  auto d = loop_driver();
  SKIP_WITHOUT_LOOP_RING(d);
  TempFile f(4096);
  HandleId h = 0;
  on_fresh_thread([&] { h = open_handle(*d, f.path); });
  on_fresh_thread([&] {
    std::optional<OpResult> got;
    d->submit(op::Size{h}, [&](OpResult r) { got.emplace(std::move(r)); });
    EXPECT_TRUE(drive_until([&] { return got.has_value(); }));
    ASSERT_TRUE(got && !got->ok());
    EXPECT_EQ(got->error().kind(), IoErrorKind::InvalidInput);
    // Numbers are process-wide: a file opened here never reuses `h`.
    EXPECT_NE(open_handle(*d, f.path), h);
  });
}

TEST(LoopRing, LargeTransfersGoToTheKernelsWorkers) {
  auto d = loop_driver();
  SKIP_WITHOUT_LOOP_RING(d);
  TempFile f(4 << 20);
  on_fresh_thread([&] {
    HandleId h = open_handle(*d, f.path);
    std::uint64_t before = loop_ring::thread_stats().forced_async;
    std::vector<std::uint8_t> small(4096), large(4 << 20);
    int done = 0;
    d->submit(op::Read{h, 0, ReadBuf::raw(small.data(), small.size())}, [&](OpResult) { ++done; });
    EXPECT_TRUE(drive_until([&] { return done == 1; }));
    EXPECT_EQ(loop_ring::thread_stats().forced_async, before);
    d->submit(op::Read{h, 0, ReadBuf::raw(large.data(), large.size())}, [&](OpResult r) {
      auto* n = r.get_if<reply::Read>();
      EXPECT_TRUE(n && n->n == large.size());
      ++done;
    });
    EXPECT_TRUE(drive_until([&] { return done == 2; }));
    EXPECT_GT(loop_ring::thread_stats().forced_async, before);
    EXPECT_EQ(large[12345], static_cast<std::uint8_t>(12345 * 7 + 3));
  });
}

TEST(LoopRing, ManyWholeFileReadsAtOnceAnswerOnceWithTheirBytes) {
  // Beyond a few in progress, whole-file reads are served by a pool thread;
  // what it cannot read whole (too large, missing) goes on through the ring.
  auto d = loop_driver();
  SKIP_WITHOUT_LOOP_RING(d);
  TempFile small(5000), empty(0), large(70000);
  constexpr std::uint64_t kInlineMax = 65536;
  on_fresh_thread([&] {
    const std::string paths[] = {small.path, empty.path, large.path, small.path + "-missing"};
    constexpr int kReads = 48;
    std::vector<int> answers(kReads, 0);
    for (int i = 0; i < kReads; ++i) {
      const std::string& path = paths[i % 4];
      d->submit(op::ReadFile{kInlineMax, path}, [&, i](OpResult r) {
        ++answers[i];
        switch (i % 4) {
          case 0:
          case 1: {
            auto* b = r.get_if<reply::Bytes>();
            ASSERT_NE(b, nullptr) << i;
            ASSERT_EQ(b->data.size(), i % 4 == 0 ? 5000u : 0u);
            if (!b->data.empty()) {
              EXPECT_EQ(b->data[4999], static_cast<std::uint8_t>(4999 * 7 + 3));
            }
            break;
          }
          case 2: {
            auto* h = r.get_if<reply::Handle>();
            ASSERT_NE(h, nullptr) << i;
            EXPECT_EQ(h->size, 70000u);
            d->submit(op::Close{h->id}, [](OpResult) {});
            break;
          }
          default:
            ASSERT_FALSE(r.ok());
            EXPECT_EQ(r.error().raw_os_error(), ENOENT);
        }
      });
    }
    EXPECT_TRUE(drive_until([&] {
      int total = 0;
      for (int a : answers) total += a;
      return total == kReads;
    }));
    for (int i = 0; i < kReads; ++i) EXPECT_EQ(answers[i], 1) << i;
    EXPECT_TRUE(drive_until([] { return loop_ring::thread_stats().tasks == 0; }));
  });
}

}  // namespace
}  // namespace kestrelio
