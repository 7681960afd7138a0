#include <gtest/gtest.h>

#include <set>

#include "test_darwin_aio_harness.hpp"

using namespace kestrelio;
using namespace kestrelio::aio_testing;

namespace {

struct HelperCase {
  long (*processors)();
  int helpers;
};

class DarwinAioHelpers : public ::testing::TestWithParam<HelperCase> {};

TEST_P(DarwinAioHelpers, PoolSizeFollowsProcessorCount) {
  ASSERT_TRUE(backends_gone());
  DriverOptions o;
  o.processors = GetParam().processors;
  auto d = make_driver(o);
  ASSERT_TRUE(d);
  EXPECT_STREQ(d->name(), "darwin-aio");
  int want = GetParam().helpers;
  EXPECT_TRUE(eventually([&] { return count_threads_named("kestrelio-open") == want; }))
      << count_threads_named("kestrelio-open");
  EXPECT_TRUE(eventually([&] { return count_threads_named("kestrelio-aio") == 1; }));
  std::this_thread::sleep_for(20ms);  // no late extra helper
  EXPECT_EQ(count_threads_named("kestrelio-open"), want);
  d.reset();
  EXPECT_TRUE(backends_gone()) << "threads end once the driver is dropped";
}

INSTANTIATE_TEST_SUITE_P(Processors, DarwinAioHelpers,
                         ::testing::Values(HelperCase{[] { return 6L; }, 2}, HelperCase{[] { return 12L; }, 4},
                                           HelperCase{[] { return 64L; }, 4}));

// Records the flags every open was given.
struct OpenRecorder {
  std::mutex m;
  std::vector<int> flags;
};

int open_and_record(DriverOptions& o, OpenRecorder& rec, op::Open op) {
  auto d = make_driver(o);
  OpResult res = call(*d, std::move(op));
  EXPECT_TRUE(res.ok()) << (res.ok() ? "" : res.error().to_string());
  std::lock_guard<std::mutex> g(rec.m);
  return rec.flags.empty() ? -1 : rec.flags.back();
}

TEST(DarwinAioOpen, FlagsMapToAccessModes) {
  TempDir dir;
  std::string path = dir.write("f", "abc");
  auto& rec = keep_alive<OpenRecorder>();
  auto& sys = keep_alive<HookSys>();
  sys.on_open = [&rec](const char* p, int f, mode_t m) {
    {
      std::lock_guard<std::mutex> g(rec.m);
      rec.flags.push_back(f);
    }
    return ::open(p, f, m);
  };
  DriverOptions o;
  o.aio_sys = &sys;
  struct Case {
    op::Open open;  // read, write, append, truncate, create, create_new, path
    int access, set, unset;
  };
  Case cases[] = {
      {{false, false, true, false, false, false, path}, O_WRONLY, O_APPEND | O_CLOEXEC, O_CREAT},
      {{true, false, true, false, false, false, path}, O_RDWR, O_APPEND, 0},
      {{true, false, false, true, false, false, dir.write("g", "")}, O_RDONLY, O_TRUNC, 0},
      {{false, true, false, false, true, false, dir.file("new")}, O_WRONLY, O_CREAT, O_EXCL},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.open.path);
    int f = open_and_record(o, rec, std::move(c.open));
    EXPECT_EQ(f & O_ACCMODE, c.access);
    EXPECT_EQ(f & (c.set | c.unset), c.set);
  }
}

TEST(DarwinAioWriteFile, FailedWholeFileJobStillClosesItsDescriptor) {
  TempDir dir;
  std::string path = dir.file("f");
  auto& sys = keep_alive<HookSys>();
  struct Seen {
    std::mutex m;
    std::set<int> opened, closed;
  };
  auto& seen = keep_alive<Seen>();
  sys.on_open = [&](const char* p, int f, mode_t m) {
    int fd = ::open(p, f, m);
    std::lock_guard<std::mutex> g(seen.m);
    seen.opened.insert(fd);
    return fd;
  };
  sys.on_close = [&](int fd) {
    {
      std::lock_guard<std::mutex> g(seen.m);
      seen.closed.insert(fd);
    }
    return ::close(fd);
  };
  sys.on_aio_write = [](aiocb*) {
    errno = EIO;
    return -1;
  };
  auto d = make_driver(sys);
  EXPECT_TRUE(is_errno(call(*d, op::WriteFile{Payload::owned({1, 2, 3}), path}), EIO));
  std::lock_guard<std::mutex> g(seen.m);
  EXPECT_EQ(seen.opened.size(), 1u);
  EXPECT_EQ(seen.opened, seen.closed);
}

}  // namespace
