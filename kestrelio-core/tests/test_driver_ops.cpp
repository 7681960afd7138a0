#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>

#include "compio_backend/read.hpp"
#include "compio_harness.hpp"
#include "darwin_aio/job.hpp"
#include "runtime/fs.hpp"
#include "runtime/runtime.hpp"

using namespace kestrelio;
using namespace kestrelio::testing;

namespace {

// The operations every driver serves alike: darwin-aio and the runtime
// backend on either runtime driver. Where the two backends differ (how handles
// are numbered, what an impossible open says) the test says which is which.
class DriverOps : public ::testing::TestWithParam<DriverKind> {
 protected:
  void SetUp() override {
    KESTRELIO_SKIP_WITHOUT_IO_URING(runtime_choice(GetParam()));
    ASSERT_TRUE(backend.started());
  }
  bool aio() const { return GetParam() == DriverKind::DarwinAio; }

  HandleId open(const std::string& path, bool read, bool write, bool append = false, bool truncate = false,
                bool create = false, bool create_new = false) {
    OpResult r = backend.call(op::Open{read, write, append, truncate, create, create_new, path});
    auto* h = r.get_if<reply::Handle>();
    EXPECT_NE(h, nullptr) << (r.ok() ? to_text(r.reply()) : r.error().to_string());
    return h ? h->id : 0;
  }
  static void expect_unknown(const OpResult& r) {
    ASSERT_FALSE(r.ok()) << to_text(r.reply());
    EXPECT_EQ(r.error().kind(), IoErrorKind::InvalidInput);
    ASSERT_NE(r.error().message(), nullptr);
    EXPECT_STREQ(r.error().message(), kUnknownHandle);
  }
  static void expect_written(const OpResult& r, std::uint64_t n, std::uint64_t end) {
    auto* w = r.get_if<reply::Written>();
    ASSERT_NE(w, nullptr) << (r.ok() ? to_text(r.reply()) : r.error().to_string());
    EXPECT_EQ(w->n, n);
    EXPECT_EQ(w->end, end);
  }
  static std::size_t read_n(const OpResult& r) {
    auto* n = r.get_if<reply::Read>();
    EXPECT_NE(n, nullptr) << (r.ok() ? to_text(r.reply()) : r.error().to_string());
    return n ? n->n : ~std::size_t{0};
  }

  TempDir dir;
  AnyBackend backend{GetParam()};
};

// Handles count from one and are never reused. The runtime backend numbers an
// open when it arrives, so a failed one leaves a gap; darwin-aio numbers only
// the files it really opened.
TEST_P(DriverOps, OpenReportsHandleSizeAndDescriptorAndNumbersHandles) {
  std::string p = dir.write("a", "hello");
  OpResult r = backend.call(op::Open{true, false, false, false, false, false, p});
  auto* h = r.get_if<reply::Handle>();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->id, 1u);
  EXPECT_EQ(h->size, 5u);
  int flags = ::fcntl(static_cast<int>(h->fd), F_GETFD);  // really open in this process
  EXPECT_GE(flags, 0);
  EXPECT_TRUE(flags & FD_CLOEXEC);
  expect_errno(backend.call(op::Open{true, false, false, false, false, false, dir.file("missing")}), ENOENT);
  EXPECT_EQ(open(p, true, false), aio() ? 2u : 3u);
  EXPECT_NE(backend.call(op::Close{1}).get_if<reply::Unit>(), nullptr);
  EXPECT_EQ(open(p, true, false), aio() ? 3u : 4u);
}

TEST_P(DriverOps, ReadFileInlinesUpToItsLimitAndHandsOverALargerFile) {
  std::string p = dir.write("a", "abc");
  EXPECT_EQ(bytes_of(backend.call(op::ReadFile{3, p})), "abc");  // size equal to inline_max: inline
  std::string empty = dir.write("empty", "");
  EXPECT_EQ(bytes_of(backend.call(op::ReadFile{0, empty})), "");
  std::string q = dir.write("b", "abcd");
  OpResult r = backend.call(op::ReadFile{3, q});
  auto* h = r.get_if<reply::Handle>();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->id, aio() ? 1u : 3u) << "an inline read consumes a number on the runtime backend only";
  EXPECT_EQ(h->size, 4u);
  EXPECT_EQ(bytes_of(backend.call(op::Read{h->id, 1, ReadBuf::owned(10)})), "bcd");
  EXPECT_NE(backend.call(op::Close{h->id}).get_if<reply::Unit>(), nullptr);
  expect_errno(backend.call(op::ReadFile{100, dir.file("no")}), ENOENT);
}

TEST_P(DriverOps, ReadsStopAtEndOfFile) {
  std::string p = dir.write("a", "0123456789");
  HandleId h = open(p, true, false);
  std::uint8_t buf[6] = {0, 0, 0, 0, 0, 0xee};
  EXPECT_EQ(read_n(backend.call(op::Read{h, 2, ReadBuf::raw(buf, 4)})), 4u);
  EXPECT_EQ(std::memcmp(buf, "2345", 4), 0);
  EXPECT_EQ(read_n(backend.call(op::Read{h, 5, ReadBuf::raw(buf, 6)})), 5u);  // short at EOF
  EXPECT_EQ(std::memcmp(buf, "56789\xee", 6), 0) << "nothing past the end was touched";
  EXPECT_EQ(bytes_of(backend.call(op::Read{h, 7, ReadBuf::owned(10)})), "789");  // short at EOF
  EXPECT_EQ(bytes_of(backend.call(op::Read{h, 100, ReadBuf::owned(10)})), "");   // beyond EOF
  EXPECT_EQ(read_n(backend.call(op::Read{h, 100, ReadBuf::raw(buf, 4)})), 0u);
  EXPECT_EQ(read_n(backend.call(op::Read{h, 0, ReadBuf::raw(nullptr, 0)})), 0u);
  EXPECT_EQ(bytes_of(backend.call(op::Read{h, 0, ReadBuf::owned(0)})), "");
}

TEST_P(DriverOps, ReadToEndFollowsAFileThatGrew) {
  std::string p = dir.write("a", "hello world");
  HandleId h = open(p, true, true);
  EXPECT_EQ(bytes_of(backend.call(op::ReadToEnd{h, 0})), "hello world");
  EXPECT_EQ(bytes_of(backend.call(op::ReadToEnd{h, 6})), "world");
  EXPECT_EQ(bytes_of(backend.call(op::ReadToEnd{h, 1000})), "");
  std::string more(5000, 'z');
  int fd = ::open(p.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_EQ(::write(fd, more.data(), more.size()), static_cast<ssize_t>(more.size()));
  ::close(fd);
  EXPECT_EQ(bytes_of(backend.call(op::ReadToEnd{h, 0})), "hello world" + more);
}

// A positional write ends at pos + length; an append at the file's new size.
TEST_P(DriverOps, WritesReportWhereTheyEnded) {
  std::string p = dir.file("w");
  HandleId h = open(p, false, true, false, false, true);
  std::string data = "abcdef";
  Payload bytes = Payload::raw(reinterpret_cast<const std::uint8_t*>(data.data()), 6);
  expect_written(backend.call(op::Write{false, h, 3, std::move(bytes)}), 6, 9);
  expect_written(backend.call(op::Write{false, h, 42, Payload::owned({})}), 0, 42);
  EXPECT_EQ(slurp(p), std::string("\0\0\0abcdef", 9)) << "an empty write extends nothing";
  HandleId app = open(p, false, false, true);
  expect_written(backend.call(op::Write{true, app, 0, Payload::owned({'x', 'y'})}), 2, 11);
  expect_written(backend.call(op::Write{true, app, 0, Payload::raw(nullptr, 0)}), 0, 11);
  EXPECT_EQ(slurp(p), std::string("\0\0\0abcdefxy", 11));
  HandleId ro = open(p, true, false);
  expect_errno(backend.call(op::Write{true, ro, 0, Payload::owned({'x'})}), EBADF);
}

TEST_P(DriverOps, SyncSetLenSize) {
  std::string p = dir.write("a", "abcdef");
  HandleId h = open(p, true, true);
  EXPECT_NE(backend.call(op::Sync{true, h}).get_if<reply::Unit>(), nullptr);
  EXPECT_NE(backend.call(op::Sync{false, h}).get_if<reply::Unit>(), nullptr);
  EXPECT_NE(backend.call(op::SetLen{h, 2}).get_if<reply::Unit>(), nullptr);
  OpResult s = backend.call(op::Size{h});
  ASSERT_NE(s.get_if<reply::Size>(), nullptr);
  EXPECT_EQ(s.get_if<reply::Size>()->size, 2u);
  EXPECT_NE(backend.call(op::SetLen{h, 10000}).get_if<reply::Unit>(), nullptr);
  EXPECT_EQ(backend.call(op::Size{h}).get_if<reply::Size>()->size, 10000u);
  // darwin-aio hands the length to ftruncate, which reads it as a negative off_t.
  expect_errno(backend.call(op::SetLen{h, std::uint64_t{1} << 63}), aio() ? EINVAL : EFBIG);
  OpResult r = backend.call(op::SetLen{open(p, true, false), 1});
  ASSERT_FALSE(r.ok()) << "a read-only handle cannot set the length";
  EXPECT_TRUE(r.error().raw_os_error() == EINVAL || r.error().raw_os_error() == EBADF) << r.error().to_string();
}

// procfs reports a size of 0 for files that hold more.
TEST_P(DriverOps, WholeFileReadsOfAFileWhoseSizeLiesEndAtEndOfFile) {
  for (std::string path : {"/proc/version", "/proc/filesystems"}) {
    std::string want = slurp(path);
    if (want.empty()) GTEST_SKIP() << "needs a readable " << path;
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    ASSERT_LT(static_cast<std::size_t>(st.st_size), want.size()) << "its size no longer lies";
    EXPECT_EQ(bytes_of(backend.call(op::ReadFile{1 << 20, path})), want);
    HandleId h = open(path, true, false);
    EXPECT_EQ(bytes_of(backend.call(op::ReadToEnd{h, 0})), want);
    EXPECT_EQ(bytes_of(backend.call(op::ReadToEnd{h, 3})), want.substr(3));
  }
}

TEST_P(DriverOps, AppendsOfOneHandleLandInSubmissionOrder) {
  std::string p = dir.write("log", "");
  HandleId h = open(p, false, false, true);
  std::vector<std::string> lines;
  std::vector<ReplySlot> slots(2000);
  for (std::size_t i = 0; i < slots.size(); ++i) {
    lines.push_back("line " + std::to_string(i) + std::string(i % 97, '.') + "\n");
    const std::string& l = lines.back();
    backend.submit(op::Write{true, h, 0, Payload::owned({l.begin(), l.end()})}, slots[i]);
  }
  std::string want;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    auto r = slots[i].wait();
    ASSERT_TRUE(r);
    ASSERT_NE(r->get_if<reply::Written>(), nullptr) << (r->ok() ? to_text(r->reply()) : r->error().to_string());
    want += lines[i];
  }
  EXPECT_TRUE(slurp(p) == want) << "appends reached the file out of order";
}

TEST_P(DriverOps, CloseThenEverythingFailsUnknown) {
  std::string p = dir.write("a", "abc");
  HandleId h = open(p, true, true);
  EXPECT_NE(backend.call(op::Close{h}).get_if<reply::Unit>(), nullptr);
  expect_unknown(backend.call(op::Close{h}));
  expect_unknown(backend.call(op::Read{h, 0, ReadBuf::owned(1)}));
  expect_unknown(backend.call(op::ReadToEnd{h, 0}));
  expect_unknown(backend.call(op::Write{false, h, 0, Payload::owned({'a'})}));
  expect_unknown(backend.call(op::Write{true, h, 0, Payload::owned({'a'})}));
  expect_unknown(backend.call(op::Sync{false, h}));
  expect_unknown(backend.call(op::SetLen{h, 0}));
  expect_unknown(backend.call(op::Size{h}));
  expect_unknown(backend.call(op::Size{999}));
}

TEST_P(DriverOps, OpenFlagRules) {
  std::string p = dir.write("a", "abc");
  OpResult none = backend.call(op::Open{false, false, false, true, true, false, p});
  if (aio()) {
    ASSERT_FALSE(none.ok());
    EXPECT_STREQ(none.error().message(), "open needs read or write access");
  } else {
    expect_errno(none, EINVAL);
    expect_errno(backend.call(op::Open{true, false, false, true, false, false, p}), EINVAL);
    expect_errno(backend.call(op::Open{true, false, false, false, true, false, p}), EINVAL);
    expect_errno(backend.call(op::Open{true, false, false, false, false, true, p}), EINVAL);
  }
  EXPECT_EQ(slurp(p), "abc") << "the truncate never reached the file";
  // create_new wins over truncate: the existing file is left alone.
  expect_errno(backend.call(op::Open{false, true, false, true, true, true, p}), EEXIST);
  EXPECT_EQ(slurp(p), "abc");
  // Append implies write access, so creation is allowed with it.
  std::string q = dir.file("new");
  EXPECT_GT(open(q, false, false, true, false, true), 0u);
  // Truncate with write empties the file.
  HandleId t = open(p, false, true, false, true);
  EXPECT_EQ(backend.call(op::Size{t}).get_if<reply::Size>()->size, 0u);
}

TEST_P(DriverOps, NulInPathIsRejectedBeforeAnySystemCall) {
  std::string bad = dir.file("a");
  bad.push_back('\0');
  bad += "b";
  for (OpResult r : {backend.call(op::Open{true, false, false, false, false, false, bad}),
                     backend.call(op::ReadFile{10, bad}), backend.call(op::WriteFile{Payload::owned({'x'}), bad})}) {
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), IoErrorKind::InvalidInput);
    EXPECT_STREQ(r.error().message(), aio() ? "path contains NUL" : "file name contained an unexpected NUL byte");
  }
  EXPECT_EQ(::access(dir.file("a").c_str(), F_OK), -1);
}

TEST_P(DriverOps, WriteFileCreatesOrTruncatesThenReadFile) {
  std::string p = dir.write("a", "old content that is longer");
  std::string data = "new";
  Payload bytes = Payload::raw(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
  expect_written(backend.call(op::WriteFile{std::move(bytes), p}), 3, 3);
  EXPECT_EQ(bytes_of(backend.call(op::ReadFile{1000, p})), "new");
  expect_written(backend.call(op::WriteFile{Payload::owned({}), p}), 0, 0);
  EXPECT_EQ(slurp(p), "");
  std::string content(100000, 'c');
  expect_written(backend.call(op::WriteFile{Payload::owned({content.begin(), content.end()}), dir.file("fresh")}),
                 content.size(), content.size());
  EXPECT_EQ(slurp(dir.file("fresh")), content);
  expect_errno(backend.call(op::WriteFile{Payload::owned({'x'}), dir.file("no/such/dir")}), ENOENT);
}

// io_uring reads offset 2^64-1 as "the file's own position"; neither driver
// may read or write anywhere for it.
TEST_P(DriverOps, PositionsBeyondTheLargestOffsetFailWithEinval) {
  std::string p = dir.write("a", "abcdef");
  HandleId h = open(p, true, true);
  std::uint8_t buf[4] = {0, 0, 0, 0};
  for (std::uint64_t pos : {std::numeric_limits<std::uint64_t>::max(), std::uint64_t{1} << 63}) {
    SCOPED_TRACE(pos);
    expect_errno(backend.call(op::Read{h, pos, ReadBuf::owned(4)}), EINVAL);
    expect_errno(backend.call(op::Read{h, pos, ReadBuf::raw(buf, 4)}), EINVAL);
    expect_errno(backend.call(op::ReadToEnd{h, pos}), EINVAL);
    expect_errno(backend.call(op::Write{false, h, pos, Payload::owned({'x', 'y'})}), EINVAL);
  }
  EXPECT_EQ(std::memcmp(buf, "\0\0\0\0", 4), 0);
  EXPECT_EQ(slurp(p), "abcdef");
  // A far position that fits an off_t still reaches the kernel: end of file.
  EXPECT_EQ(bytes_of(backend.call(op::Read{h, std::uint64_t{1} << 62, ReadBuf::owned(4)})), "");
}

TEST_P(DriverOps, OwnedReadLongerThanAnyVectorAnswersInvalidInput) {
  std::string p = dir.write("a", "abc");
  HandleId h = open(p, true, false);
  for (std::size_t len : {std::numeric_limits<std::size_t>::max(), std::vector<std::uint8_t>().max_size() + 1}) {
    OpResult r = backend.call(op::Read{h, 0, ReadBuf::owned(len)});
    ASSERT_FALSE(r.ok()) << to_text(r.reply());
    EXPECT_EQ(r.error().kind(), IoErrorKind::InvalidInput);
    ASSERT_NE(r.error().message(), nullptr) << r.error().to_string();
    EXPECT_STREQ(r.error().message(), darwin_aio::kReadTooLarge);
  }
  EXPECT_EQ(bytes_of(backend.call(op::Read{h, 0, ReadBuf::owned(3)})), "abc");
}

INSTANTIATE_TEST_SUITE_P(Drivers, DriverOps,
                         ::testing::Values(DriverKind::DarwinAio, DriverKind::Polling, DriverKind::IoUring),
                         [](const auto& info) { return kind_name(info.param); });

}  // namespace

namespace {

// A whole-file read of /dev/zero lets other operations answer while it runs,
// and a cancel stops it with ECANCELED. (darwin-aio's run in the Python suite,
// under a memory watchdog: its buffer passes half a gigabyte meanwhile.)
TEST(CompioWholeFile, ReadsOfAnEndlessFileYieldAndStopWhenCancelled) {
  TempDir dir;
  std::string small_path = dir.write("small", "abc");
  for (auto choice : {RuntimeDriverChoice::Polling, RuntimeDriverChoice::IoUring}) {
    KESTRELIO_SKIP_WITHOUT_IO_URING(choice);  // IoUring comes last: Polling has run
    Backend backend(choice);
    ASSERT_TRUE(backend.started());
    auto open = [&](const std::string& p) {
      return backend.call(op::Open{true, false, false, false, false, false, p}).get_if<reply::Handle>()->id;
    };
    HandleId small = open(small_path), zero = open("/dev/zero");
    for (bool whole_file : {false, true}) {
      ReplySlot endless;
      OpId id = whole_file ? backend.submit(op::ReadFile{1 << 20, "/dev/zero"}, endless)
                           : backend.submit(op::ReadToEnd{zero, 0}, endless);
      for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(bytes_of(backend.call(op::Read{small, 0, ReadBuf::owned(3)})), "abc");
        EXPECT_TRUE(backend.call(op::Nop{}).ok());
      }
      EXPECT_FALSE(endless.ready());
      backend.driver().cancel(id);
      auto r = endless.wait();
      ASSERT_TRUE(r) << "the cancelled read did not stop";
      expect_errno(*r, ECANCELED);
    }
  }
}

TEST(CompioReadToEnd, AFileGrownSinceItWasSizedIsReadToItsNewEnd) {
  // A read that fills its room did not meet the end it was told of, even
  // when it got exactly that far (one full step of a larger file). Told no
  // end, with room for one byte, the rest comes in overflow pieces, in order.
  TempDir dir;
  std::string content(compio_backend::kReadToEndStep + 10, 'g');
  for (std::size_t i = 0; i < content.size(); i += 7) content[i] = static_cast<char>('a' + i % 23);
  std::string p = dir.write("grown", content);
  auto rt = runtime::Runtime::create({}).value();
  using Bytes = std::vector<std::uint8_t>;
  using End = std::optional<std::uint64_t>;
  for (End told : {End{}, End{10}, End{compio_backend::kReadToEndStep}, End{content.size()}}) {
    auto got = rt->block_on([](std::string path, End end) -> runtime::Task<Expected<Bytes>> {
      runtime::OpenOptions o;
      o.read = true;
      auto file = co_await runtime::open(std::move(path), o);
      if (!file) co_return file.error();
      co_return co_await compio_backend::read_to_end(file.value(), 0, end ? *end + 1 : 1,
                                                     std::make_shared<bool>(false), end);
    }(p, told));
    ASSERT_TRUE(got.ok()) << got.error().to_string();
    EXPECT_TRUE(std::string(got.value().begin(), got.value().end()) == content) << "told " << told.value_or(0);
  }
}

TEST(CompioExecute, AnImpossibleBufferFailsTheOperationOnly) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizer allocators abort on such a request instead of throwing";
#endif
  Backend backend(RuntimeDriverChoice::Auto);
  TempDir dir;
  std::string p = dir.write("a", "abc");
  OpResult h = backend.call(op::Open{true, false, false, false, false, false, p});
  ASSERT_NE(h.get_if<reply::Handle>(), nullptr);
  OpResult r = backend.call(op::Read{h.get_if<reply::Handle>()->id, 0, ReadBuf::owned(std::size_t{1} << 62)});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().raw_os_error(), ENOMEM);
  EXPECT_TRUE(backend.call(op::Nop{}).ok());
}

}  // namespace
