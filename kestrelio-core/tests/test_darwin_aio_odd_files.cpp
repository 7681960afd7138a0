#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "darwin_aio/own_aio.hpp"
#include "darwin_aio/start.hpp"
#include "platform.hpp"
#include "test_darwin_aio_harness.hpp"

using namespace kestrelio;
using namespace kestrelio::aio_testing;

namespace {

OpId submit_open(Driver& d, const std::string& path, bool read, bool write, Replies& r, int tag) {
  return d.submit(op::Open{read, write, false, false, false, false, path}, r.fn(tag));
}

HandleId handle_of(const std::optional<OpResult>& r) {
  auto* h = r ? r->get_if<reply::Handle>() : nullptr;
  return h ? h->id : 0;
}

TEST(DarwinAioFifo, OpensWaitingForAWriterHoldNeitherDriverNorHelpers) {
  ASSERT_TRUE(backends_gone());  // threads are counted below
  TempDir dir;
  std::string fifo = dir.file("fifo");
  std::string lonely = dir.file("no-reader");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(lonely.c_str(), 0600), 0);
  std::string plain = dir.write("plain", "abc");
  const int fds_before = count_open_fds();
  {
    auto d = make_driver();
    ASSERT_NE(open_handle(*d, plain, true, false), 0u);
    // Each helper names itself once it runs, which may be after the first open is answered.
    const int pooled = static_cast<int>(darwin_aio::open_helper_count(platform::online_processors()));
    ASSERT_TRUE(eventually([&] { return count_threads_named("kestrelio-open") == pooled; }));
    Replies r;
    // More waiting opens than there are open helpers, inline and at helpers.
    constexpr int kWaiting = 6;
    std::vector<OpId> ids;
    for (int i = 0; i < kWaiting; ++i) ids.push_back(submit_open(*d, fifo, true, false, r, i));
    OpId writer_open = submit_open(*d, lonely, false, true, r, 50);

    HandleId h = open_handle(*d, plain, true, false);
    ASSERT_NE(h, 0u) << "other opens still complete";
    EXPECT_TRUE(eventually([&] { return count_threads_named("kestrelio-open") > pooled; }))
        << "waiting opens have threads of their own";
    EXPECT_EQ(bytes_of(call(*d, op::Read{h, 0, ReadBuf::owned(3)})), "abc");
    EXPECT_EQ(r.count(), 0u);

    d->cancel(ids[0]);
    d->cancel(writer_open);
    EXPECT_TRUE(is_errno(r.wait(0), ECANCELED)) << "answered while its open still waits";
    EXPECT_TRUE(is_errno(r.wait(50), ECANCELED));

    // A writer appears: the other opens complete, the cancelled one gives its descriptor back.
    // The FIFO has no reader until one of the waiting threads is inside its open, which a loaded
    // machine may not have run yet: until then a writer that does not wait is refused with ENXIO.
    int writer = -1;
    int open_err = 0;
    EXPECT_TRUE(eventually([&] {
      writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      open_err = errno;
      return writer >= 0 || open_err != ENXIO;
    }));
    ASSERT_GE(writer, 0) << std::strerror(open_err);
    ASSERT_TRUE(r.wait_count(kWaiting + 1));
    for (int i = 1; i < kWaiting; ++i) {
      HandleId fh = handle_of(r.wait(i));
      ASSERT_NE(fh, 0u) << i;
      ASSERT_TRUE(call(*d, op::Close{fh}).ok());
    }
    ASSERT_TRUE(call(*d, op::Close{h}).ok());
    // A reader for the other FIFO lets its cancelled open finish; that
    // descriptor is given back too. The writer stays open until then: the
    // cancelled reader's thread may reach its open only now.
    int reader = ::open(lonely.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    EXPECT_TRUE(eventually([&] { return count_threads_named("kestrelio-open") == pooled; }));
    ::close(reader);
    ::close(writer);
  }
  EXPECT_TRUE(eventually([&] { return count_open_fds() == fds_before; }))
      << count_open_fds() << " descriptors, " << fds_before << " before";
}

// The C library's layer is covered with every driver (DriverOps).
TEST(DarwinAioAppend, AppendsOfOneHandleLandInSubmissionOrderOnOwnThreads) {
  TempDir dir;
  auto d = make_driver(keep_alive<darwin_aio::OwnThreadsAio>());
  std::string path = dir.write("log", "");
  HandleId h = open_handle(*d, path, false, false, true);
  ASSERT_NE(h, 0u);
  Replies r;
  constexpr int kLines = 3000;
  std::string expected;
  for (int i = 0; i < kLines; ++i) {
    char line[32];
    int n = std::snprintf(line, sizeof line, "line %05d %s\n", i, i % 7 == 0 ? "with a longer tail" : "");
    expected.append(line, static_cast<std::size_t>(n));
    d->submit(op::Write{true, h, 0, Payload::owned(std::vector<std::uint8_t>(line, line + n))}, r.fn(i));
  }
  ASSERT_TRUE(r.wait_count(kLines));
  EXPECT_EQ(slurp(path), expected);
}

// Holds reads at one offset until the test opens the gate.
struct GatedOwnThreads final : darwin_aio::OwnThreadsAio {
  static constexpr off_t kGated = 777;
  std::mutex m;
  std::condition_variable cv;
  bool open = false, entered = false;
  ssize_t pread(int fd, void* buf, size_t n, off_t offset) noexcept override {
    if (offset == kGated) {
      std::unique_lock<std::mutex> g(m);
      entered = true;
      cv.notify_all();
      cv.wait(g, [&] { return open; });
    }
    return OwnThreadsAio::pread(fd, buf, n, offset);
  }
};

TEST(DarwinAioOwnThreads, ServeEveryOperationAndCancelARequestNotStarted) {
  TempDir dir;
  auto& sys = keep_alive<GatedOwnThreads>();
  auto d = make_driver(sys);
  std::string content = pattern(200000);
  HandleId h = open_handle(*d, dir.write("f", content), true, true);
  Replies r;
  d->submit(op::Read{h, 100, ReadBuf::owned(150000)}, r.fn(0));
  d->submit(op::Write{false, h, 200000, Payload::owned({'z'})}, r.fn(1));
  d->submit(op::Sync{false, h}, r.fn(2));
  d->submit(op::ReadToEnd{h, 199990}, r.fn(3));
  ASSERT_TRUE(r.wait_count(4));
  EXPECT_EQ(bytes_of(*r.wait(0)), content.substr(100, 150000));
  EXPECT_TRUE(r.wait(1)->ok() && r.wait(2)->ok());
  EXPECT_EQ(bytes_of(*r.wait(3)), content.substr(199990) + "z");

  // The gated read holds its worker; the next read of that descriptor waits
  // behind it and can still be cancelled.
  d->submit(op::Read{h, GatedOwnThreads::kGated, ReadBuf::owned(1)}, r.fn(10));
  {
    std::unique_lock<std::mutex> g(sys.m);
    ASSERT_TRUE(sys.cv.wait_for(g, reply_limit(), [&] { return sys.entered; }));
  }
  OpId second = d->submit(op::Read{h, 0, ReadBuf::owned(1)}, r.fn(11));
  d->cancel(second);
  EXPECT_TRUE(is_errno(r.wait(11), ECANCELED));
  {
    std::lock_guard<std::mutex> g(sys.m);
    sys.open = true;
  }
  sys.cv.notify_all();
  auto first = r.wait(10);
  ASSERT_TRUE(first && first->ok());
  EXPECT_EQ(bytes_of(*first), content.substr(GatedOwnThreads::kGated, 1));
}

// The sanitizers' own locks (TSan's thread state, ASan's allocator) may be
// held by another thread at fork, so a child can hang inside them.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizer = true;
#else
constexpr bool kSanitizer = false;
#endif

TEST(DarwinAioFork, ChildForkedRightAfterIoGetsWorkingIo) {
  if (kSanitizer) GTEST_SKIP() << "the sanitizer runtime is not safe across a multi-threaded fork";
  TempDir dir;
  std::string content = pattern(100000);
  std::string path = dir.write("f", content);
  auto parent = make_driver();
  HandleId h = open_handle(*parent, path, true, false);
  Replies r;
  for (int i = 0; i < 8; ++i) parent->submit(op::Read{h, 0, ReadBuf::owned(content.size())}, r.fn(i));
  ASSERT_TRUE(r.wait_count(8));
  // Some still in flight while forking.
  for (int i = 8; i < 16; ++i) parent->submit(op::Read{h, 0, ReadBuf::owned(content.size())}, r.fn(i));
  pid_t pid = fork();
  if (pid == 0) {
    auto child = make_driver();
    HandleId ch = child ? open_handle(*child, path, true, true) : 0;
    if (ch == 0) _exit(2);
    Replies cr;
    for (int i = 0; i < 4; ++i) child->submit(op::Read{ch, 0, ReadBuf::owned(content.size())}, cr.fn(i));
    child->submit(op::Write{false, ch, 0, Payload::owned({'C'})}, cr.fn(4));
    child->submit(op::Sync{false, ch}, cr.fn(5));
    if (!cr.wait_count(6, 10s)) _exit(3);
    for (int i = 0; i < 4; ++i)
      if (bytes_of(*cr.wait(i)) != content) _exit(4);
    _exit(cr.wait(4)->ok() && cr.wait(5)->ok() ? 0 : 5);
  }
  ASSERT_GT(pid, 0);
  int status = 0;
  bool exited = eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 30s);
  if (!exited) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  ASSERT_TRUE(exited) << "the child hung";
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(r.wait_count(16)) << "the parent's reads still answer";
}

}  // namespace
