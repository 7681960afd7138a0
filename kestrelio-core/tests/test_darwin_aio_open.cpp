#include <gtest/gtest.h>

#include <set>

#include "test_darwin_aio_harness.hpp"

using namespace kestrelio;
using namespace kestrelio::aio_testing;

namespace {

long six() { return 6; }
long twelve() { return 12; }
long sixty_four() { return 64; }

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
                         ::testing::Values(HelperCase{six, 2}, HelperCase{twelve, 4}, HelperCase{sixty_four, 4}));

// Records the flags every open was given.
struct OpenRecorder {
  std::mutex m;
  std::vector<int> flags;
};

int open_and_record(DriverOptions& o, OpenRecorder& rec, op::Open op) {
  auto d = make_driver(o);
  Replies r;
  d->submit(std::move(op), r.fn(0));
  auto res = r.wait(0);
  EXPECT_TRUE(res && res->ok()) << (res && !res->ok() ? res->error().to_string() : "");
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

  op::Open append_only;
  append_only.append = true;
  append_only.path = path;
  int f = open_and_record(o, rec, std::move(append_only));
  EXPECT_EQ(f & O_ACCMODE, O_WRONLY);
  EXPECT_TRUE(f & O_APPEND);
  EXPECT_TRUE(f & O_CLOEXEC);
  EXPECT_FALSE(f & O_CREAT);

  op::Open read_append;
  read_append.read = read_append.append = true;
  read_append.path = path;
  f = open_and_record(o, rec, std::move(read_append));
  EXPECT_EQ(f & O_ACCMODE, O_RDWR);
  EXPECT_TRUE(f & O_APPEND);

  op::Open read_truncate;
  read_truncate.read = read_truncate.truncate = true;
  read_truncate.path = dir.write("g", "");
  f = open_and_record(o, rec, std::move(read_truncate));
  EXPECT_EQ(f & O_ACCMODE, O_RDONLY);
  EXPECT_TRUE(f & O_TRUNC);

  op::Open write_create;
  write_create.write = write_create.create = true;
  write_create.path = dir.file("new");
  f = open_and_record(o, rec, std::move(write_create));
  EXPECT_EQ(f & O_ACCMODE, O_WRONLY);
  EXPECT_EQ(f & (O_CREAT | O_EXCL), O_CREAT);
}

TEST(DarwinAioOpen, CreateWithCreateNewFailsOnExistingFile) {
  TempDir dir;
  std::string path = dir.write("f", "abc");
  auto d = make_driver();
  Replies r;
  op::Open o;
  o.write = o.create = o.create_new = true;
  o.path = path;
  d->submit(std::move(o), r.fn(0));
  EXPECT_TRUE(is_errno(r.wait(0), EEXIST));
  EXPECT_EQ(read_all(path), "abc");
}

TEST(DarwinAioOpen, RejectsMissingAccessAndNulInPath) {
  TempDir dir;
  std::string path = dir.write("f", "abc");
  auto d = make_driver();
  Replies r;
  op::Open none;
  none.truncate = none.create = true;
  none.path = path;
  d->submit(std::move(none), r.fn(0));
  op::Open nul;
  nul.read = true;
  nul.path = path + std::string("\0x", 2);
  d->submit(std::move(nul), r.fn(1));
  op::ReadFile nul_file{100, std::string("a\0b", 3)};
  d->submit(std::move(nul_file), r.fn(2));
  EXPECT_TRUE(is_custom(r.wait(0), IoErrorKind::InvalidInput, "open needs read or write access"));
  EXPECT_TRUE(is_custom(r.wait(1), IoErrorKind::InvalidInput, "path contains NUL"));
  EXPECT_TRUE(is_custom(r.wait(2), IoErrorKind::InvalidInput, "path contains NUL"));
  EXPECT_EQ(read_all(path), "abc") << "the truncate never reached the file";
}

TEST(DarwinAioOpen, HandlesCountFromOneAndAreNeverReused) {
  TempDir dir;
  std::string path = dir.write("f", "abc");
  auto d = make_driver();
  EXPECT_EQ(open_handle(*d, path, true, false), 1u);
  EXPECT_EQ(open_handle(*d, path, true, false), 2u);
  Replies r;
  d->submit(op::Close{1}, r.fn(0));
  ASSERT_TRUE(r.wait(0) && r.wait(0)->ok());
  d->submit(op::Close{1}, r.fn(1));
  EXPECT_TRUE(is_custom(r.wait(1), IoErrorKind::InvalidInput, kUnknownHandle));
  d->submit(op::Open{}, r.fn(2));  // fails: no handle is consumed by a failed open
  ASSERT_TRUE(r.wait(2));
  EXPECT_EQ(open_handle(*d, path, true, false), 3u);
  d->submit(op::Size{3}, r.fn(3));
  auto size = r.wait(3);
  ASSERT_TRUE(size && size->get_if<reply::Size>());
  EXPECT_EQ(size->get_if<reply::Size>()->size, 3u);
}

TEST(DarwinAioOpen, OpenReplyCarriesSizeAndDescriptor) {
  TempDir dir;
  std::string path = dir.write("f", pattern(4096));
  auto d = make_driver();
  Replies r;
  op::Open o;
  o.read = true;
  o.path = path;
  d->submit(std::move(o), r.fn(0));
  auto res = r.wait(0);
  ASSERT_TRUE(res && res->get_if<reply::Handle>());
  auto h = *res->get_if<reply::Handle>();
  EXPECT_EQ(h.id, 1u);
  EXPECT_EQ(h.size, 4096u);
  EXPECT_GE(fcntl(static_cast<int>(h.fd), F_GETFD), 0);
  EXPECT_TRUE(fcntl(static_cast<int>(h.fd), F_GETFD) & FD_CLOEXEC);
  op::Open missing;
  missing.read = true;
  missing.path = dir.file("missing");
  d->submit(std::move(missing), r.fn(1));
  EXPECT_TRUE(is_errno(r.wait(1), ENOENT));
}

TEST(DarwinAioReadFile, InlineMaxDecidesBetweenBytesAndHandle) {
  TempDir dir;
  std::string content = pattern(5000);
  std::string path = dir.write("f", content);
  auto d = make_driver();
  Replies r;
  d->submit(op::ReadFile{5000, path}, r.fn(0));
  auto whole = r.wait(0);
  ASSERT_TRUE(whole && whole->ok());
  EXPECT_EQ(bytes_of(*whole), content);

  d->submit(op::ReadFile{4999, path}, r.fn(1));
  auto handle = r.wait(1);
  ASSERT_TRUE(handle && handle->get_if<reply::Handle>());
  HandleId id = handle->get_if<reply::Handle>()->id;
  EXPECT_EQ(id, 1u) << "the inline read registered no handle";
  EXPECT_EQ(handle->get_if<reply::Handle>()->size, 5000u);
  d->submit(op::ReadToEnd{id, 4000}, r.fn(2));
  auto tail = r.wait(2);
  ASSERT_TRUE(tail && tail->ok());
  EXPECT_EQ(bytes_of(*tail), content.substr(4000));
  d->submit(op::Close{id}, r.fn(3));
  EXPECT_TRUE(r.wait(3) && r.wait(3)->ok());
}

TEST(DarwinAioReadFile, EmptyFileIsEmptyBytesForAnyInlineMax) {
  TempDir dir;
  std::string path = dir.write("empty", "");
  auto d = make_driver();
  Replies r;
  d->submit(op::ReadFile{0, path}, r.fn(0));
  d->submit(op::ReadFile{1 << 20, path}, r.fn(1));
  for (int tag : {0, 1}) {
    auto res = r.wait(tag);
    ASSERT_TRUE(res && res->get_if<reply::Bytes>()) << tag;
    EXPECT_TRUE(res->get_if<reply::Bytes>()->data.empty());
  }
  d->submit(op::ReadFile{10, dir.file("missing")}, r.fn(2));
  EXPECT_TRUE(is_errno(r.wait(2), ENOENT));
}

TEST(DarwinAioWriteFile, WritesCreatesAndTruncates) {
  TempDir dir;
  std::string existing = dir.write("f", "old content here");
  auto d = make_driver();
  Replies r;
  d->submit(op::WriteFile{Payload::owned({}), existing}, r.fn(0));
  auto empty = r.wait(0);
  ASSERT_TRUE(empty && empty->get_if<reply::Written>());
  EXPECT_EQ(empty->get_if<reply::Written>()->n, 0u);
  EXPECT_EQ(empty->get_if<reply::Written>()->end, 0u);
  EXPECT_EQ(read_all(existing), "");

  std::string content = pattern(100000);
  std::string fresh = dir.file("fresh");
  d->submit(op::WriteFile{Payload::raw(reinterpret_cast<const std::uint8_t*>(content.data()), content.size()), fresh},
            r.fn(1));
  auto written = r.wait(1);
  ASSERT_TRUE(written && written->get_if<reply::Written>());
  EXPECT_EQ(written->get_if<reply::Written>()->n, content.size());
  EXPECT_EQ(written->get_if<reply::Written>()->end, content.size());
  EXPECT_EQ(read_all(fresh), content);
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
  Replies r;
  std::string data = "xyz";
  d->submit(op::WriteFile{Payload::owned({1, 2, 3}), path}, r.fn(0));
  EXPECT_TRUE(is_errno(r.wait(0), EIO));
  std::lock_guard<std::mutex> g(seen.m);
  EXPECT_EQ(seen.opened.size(), 1u);
  EXPECT_EQ(seen.opened, seen.closed);
}

}  // namespace
