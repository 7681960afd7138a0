#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <set>

#include "compio_harness.hpp"

using namespace kestrelio;
using namespace kestrelio::testing;

namespace {

meta::Target at(std::string path, std::optional<int> dir_fd = std::nullopt) {
  return meta::Target{std::move(path), dir_fd, std::nullopt};
}
meta::Target fd_target(int fd) { return meta::Target{"", std::nullopt, fd}; }

class MetaOps : public ::testing::TestWithParam<DriverKind> {
 protected:
  void SetUp() override {
    KESTRELIO_SKIP_WITHOUT_IO_URING(runtime_choice(GetParam()));
    ASSERT_TRUE(backend.started());
  }
  static void ok(const OpResult& r) { ASSERT_TRUE(r.ok()) << r.error().to_string(); }
  static bool exists(const std::string& p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0;
  }

  TempDir dir;
  AnyBackend backend{GetParam()};
};

TEST_P(MetaOps, StatAgreesWithTheSystemAndFollowsLinksOnRequest) {
  std::string f = dir.write("f", "hello");
  std::string l = dir.file("l");
  ASSERT_EQ(::symlink("f", l.c_str()), 0);
  struct stat want;
  ASSERT_EQ(::stat(f.c_str(), &want), 0);

  OpResult r = backend.meta(meta::Stat{at(l), true});
  ok(r);
  const StatInfo& s = r.get_if<reply::Stat>()->info;
  EXPECT_EQ(s.mode, want.st_mode);
  EXPECT_EQ(s.ino, want.st_ino);
  EXPECT_EQ(s.dev, want.st_dev);
  EXPECT_EQ(s.nlink, want.st_nlink);
  EXPECT_EQ(s.uid, want.st_uid);
  EXPECT_EQ(s.size, 5);
  EXPECT_EQ(s.mtime_sec, want.st_mtim.tv_sec);
  EXPECT_EQ(s.mtime_nsec, static_cast<std::uint32_t>(want.st_mtim.tv_nsec));
  EXPECT_EQ(s.blocks, want.st_blocks);

  r = backend.meta(meta::Stat{at(l), false});
  ok(r);
  EXPECT_TRUE(S_ISLNK(r.get_if<reply::Stat>()->info.mode));

  int dfd = ::open(dir.file("").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(dfd, 0);
  r = backend.meta(meta::Stat{at("f", dfd), true});
  ok(r);
  EXPECT_EQ(r.get_if<reply::Stat>()->info.ino, want.st_ino);
  r = backend.meta(meta::Stat{fd_target(dfd), true});
  ok(r);
  EXPECT_TRUE(S_ISDIR(r.get_if<reply::Stat>()->info.mode));
  ::close(dfd);

  expect_errno(backend.meta(meta::Stat{at(dir.file("missing")), true}), ENOENT);
  expect_errno(backend.meta(meta::Stat{at(""), true}), ENOENT);
  expect_errno(backend.meta(meta::Stat{at(f + "/x"), true}), ENOTDIR);
  expect_errno(backend.meta(meta::Stat{fd_target(100000), true}), EBADF);
}

TEST_P(MetaOps, NamespaceChangesTakeEffectAndFailWithTheirErrno) {
  std::string f = dir.write("f", "x");
  ok(backend.meta(meta::MakeDir{at(dir.file("d")), 0700}));
  struct stat st;
  ASSERT_EQ(::stat(dir.file("d").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  expect_errno(backend.meta(meta::MakeDir{at(dir.file("d")), 0700}), EEXIST);

  ok(backend.meta(meta::Rename{at(f), at(dir.file("d/g"))}));
  EXPECT_FALSE(exists(f));
  EXPECT_EQ(slurp(dir.file("d/g")), "x");
  expect_errno(backend.meta(meta::Rename{at(dir.file("missing")), at(dir.file("y"))}), ENOENT);

  ok(backend.meta(meta::Link{at(dir.file("d/g")), at(dir.file("h")), false}));
  ASSERT_EQ(::stat(dir.file("h").c_str(), &st), 0);
  EXPECT_EQ(st.st_nlink, 2u);
  expect_errno(backend.meta(meta::Link{at(dir.file("d/g")), at(dir.file("h")), false}), EEXIST);

  ok(backend.meta(meta::Symlink{"d/g", at(dir.file("s"))}));
  OpResult r = backend.meta(meta::ReadLink{at(dir.file("s"))});
  ok(r);
  auto& target = r.get_if<reply::Bytes>()->data;
  EXPECT_EQ(std::string(target.begin(), target.end()), "d/g");
  expect_errno(backend.meta(meta::ReadLink{at(dir.file("h"))}), EINVAL);
  // A link resolved or not: the new name is the file, or the link itself.
  ok(backend.meta(meta::Link{at(dir.file("s")), at(dir.file("followed")), true}));
  ok(backend.meta(meta::Link{at(dir.file("s")), at(dir.file("kept")), false}));
  ASSERT_EQ(::lstat(dir.file("followed").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  ASSERT_EQ(::lstat(dir.file("kept").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));

  expect_errno(backend.meta(meta::Remove{at(dir.file("d")), true}), ENOTEMPTY);
  expect_errno(backend.meta(meta::Remove{at(dir.file("d")), false}), EISDIR);
  expect_errno(backend.meta(meta::Remove{at(dir.file("h")), true}), ENOTDIR);
  int dfd = ::open(dir.file("d").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(dfd, 0);
  ok(backend.meta(meta::Remove{at("g", dfd), false}));
  ::close(dfd);
  ok(backend.meta(meta::Remove{at(dir.file("d")), true}));
  EXPECT_FALSE(exists(dir.file("d")));
}

TEST_P(MetaOps, NulInAPathIsRefusedBeforeAnySystemCall) {
  std::string f = dir.write("f", "x");
  std::string bad = f + std::string("\0tail", 5);
  for (MetaOp m : {MetaOp(meta::Remove{at(bad), false}), MetaOp(meta::Rename{at(f), at(bad)}),
                   MetaOp(meta::Symlink{bad, at(dir.file("s"))}), MetaOp(meta::Stat{at(bad), true})}) {
    OpResult r = backend.meta(std::move(m));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), IoErrorKind::InvalidInput);
  }
  EXPECT_TRUE(exists(f));
  EXPECT_FALSE(exists(dir.file("s")));
}

TEST_P(MetaOps, ListingNamesEveryEntryButDotsWithTypesOnRequest) {
  dir.write("f", "x");
  ASSERT_EQ(::mkdir(dir.file("d").c_str(), 0700), 0);
  ASSERT_EQ(::symlink("f", dir.file("l").c_str()), 0);

  OpResult r = backend.meta(meta::ListDir{at(dir.file("")), false});
  ok(r);
  auto names = r.get_if<reply::Entries>()->names;
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"d", "f", "l"}));
  EXPECT_TRUE(r.get_if<reply::Entries>()->kinds.empty());

  int dfd = ::open(dir.file("").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(dfd, 0);
  for (int round = 0; round < 2; ++round) {  // the shared position is put back each time
    r = backend.meta(meta::ListDir{fd_target(dfd), true});
    ok(r);
    const auto& e = *r.get_if<reply::Entries>();
    ASSERT_EQ(e.names.size(), 3u);
    for (std::size_t i = 0; i < e.names.size(); ++i) {
      struct stat st;
      ASSERT_EQ(::lstat(dir.file(e.names[i]).c_str(), &st), 0);
      EXPECT_EQ(e.inodes[i], st.st_ino);
      EntryKind want = S_ISDIR(st.st_mode) ? EntryKind::Dir : S_ISLNK(st.st_mode) ? EntryKind::Symlink : EntryKind::File;
      if (e.kinds[i] != EntryKind::Unknown) {
        EXPECT_EQ(e.kinds[i], want) << e.names[i];
      }
    }
  }
  ::close(dfd);
  expect_errno(backend.meta(meta::ListDir{at(dir.file("f")), false}), ENOTDIR);
  expect_errno(backend.meta(meta::ListDir{at(""), false}), ENOENT);
  expect_errno(backend.meta(meta::ListDir{fd_target(100000), false}), EBADF);
}

TEST_P(MetaOps, AccessStatVfsAndSendFile) {
  std::string f = dir.write("f", "0123456789");
  ok(backend.meta(meta::Access{at(f), R_OK, false, true}));
  expect_errno(backend.meta(meta::Access{at(f), X_OK, false, true}), EACCES);
  expect_errno(backend.meta(meta::Access{at(dir.file("missing")), F_OK, false, true}), ENOENT);

  OpResult r = backend.meta(meta::StatVfs{at(dir.file(""))});
  ok(r);
  struct statvfs v;
  ASSERT_EQ(::statvfs(dir.file("").c_str(), &v), 0);
  EXPECT_EQ(r.get_if<reply::StatVfs>()->info.bsize, v.f_bsize);
  EXPECT_EQ(r.get_if<reply::StatVfs>()->info.namemax, v.f_namemax);

  int in = ::open(f.c_str(), O_RDONLY | O_CLOEXEC);
  int out = ::open(dir.file("out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(in, 0);
  ASSERT_GE(out, 0);
  r = backend.meta(meta::SendFile{out, in, 2, 3});
  ok(r);
  EXPECT_EQ(r.get_if<reply::Size>()->size, 3u);
  EXPECT_EQ(::lseek(in, 0, SEEK_CUR), 0);
  r = backend.meta(meta::SendFile{out, in, std::nullopt, 4});
  ok(r);
  EXPECT_EQ(::lseek(in, 0, SEEK_CUR), 4);
  ::close(in);
  ::close(out);
  EXPECT_EQ(slurp(dir.file("out")), "2340123");
  expect_errno(backend.meta(meta::SendFile{100000, 100001, 0, 1}), EBADF);
}

TEST_P(MetaOps, AnAdoptedDescriptorIsClosedOnlyWhenItWasHandedOver) {
  std::string f = dir.write("f", "abcdef");
  for (bool hand_over : {false, true}) {
    int fd = ::open(f.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    OpResult r = backend.call(op::Adopt{fd, hand_over});
    ok(r);
    auto h = *r.get_if<reply::Handle>();
    EXPECT_EQ(h.size, 6u);
    EXPECT_EQ(h.fd, fd);
    OpResult read = backend.call(op::Read{h.id, 2, ReadBuf::owned(3)});
    ok(read);
    auto& got = read.get_if<reply::Bytes>()->data;
    EXPECT_EQ(std::string(got.begin(), got.end()), "cde");
    ok(backend.call(op::Close{h.id}));
    struct stat st;
    if (hand_over) {
      EXPECT_NE(::fstat(fd, &st), 0) << "closed with its handle";
    } else {
      EXPECT_EQ(::fstat(fd, &st), 0) << "the caller's descriptor stays open";
      ::close(fd);
    }
  }
  OpResult r = backend.call(op::Adopt{100000, true});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().raw_os_error(), EBADF);
}

TEST_P(MetaOps, ACancelEitherStopsTheOperationOrReportsWhatItDid) {
  // ECANCELED must mean the directory was not made; success that it was.
  int stopped = 0;
  for (int i = 0; i < 60; ++i) {
    std::string p = dir.file("c" + std::to_string(i));
    ReplySlot slot;
    OpId id = backend.driver().submit(op::Meta{meta::MakeDir{at(p), 0700}}, slot.fn());
    backend.driver().cancel(id);
    auto r = slot.wait();
    ASSERT_TRUE(r) << "every operation answers";
    if (r->ok()) {
      EXPECT_TRUE(exists(p));
    } else {
      EXPECT_EQ(r->error().raw_os_error(), ECANCELED);
      EXPECT_FALSE(exists(p));
      ++stopped;
    }
  }
  RecordProperty("stopped", stopped);
}

INSTANTIATE_TEST_SUITE_P(Backends, MetaOps,
                         ::testing::Values(DriverKind::DarwinAio, DriverKind::Polling, DriverKind::IoUring,
                                           DriverKind::IoUringWithoutNameOpcodes),
                         [](const auto& info) { return kind_name(info.param); });

// Which path an operation takes shows in whether it waits at the pool's gate.
TEST(CompioMetaPaths, NameOperationsUseTheRingWhereOfferedAndThePoolOtherwise) {
  KESTRELIO_SKIP_WITHOUT_IO_URING(RuntimeDriverChoice::IoUring);
  TempDir dir;
  dir.write("f", "x");
  for (bool hidden : {false, true}) {
    if (hidden) {
      for (int op : kNameOpcodes) runtime::testing::hide_ring_opcode(op);
    }
    Backend backend(RuntimeDriverChoice::IoUring);
    runtime::testing::hide_ring_opcode(-1);
    ASSERT_TRUE(backend.started());
    backend.gate().close();
    ReplySlot stat, mkdir, readlink;
    backend.submit(op::Meta{meta::Stat{at(dir.file("f")), true}}, stat);
    backend.submit(op::Meta{meta::MakeDir{at(dir.file(hidden ? "d2" : "d1")), 0700}}, mkdir);
    backend.submit(op::Meta{meta::ReadLink{at(dir.file("f"))}}, readlink);
    ASSERT_TRUE(backend.gate().wait_held());
    if (hidden) {
      EXPECT_FALSE(stat.ready()) << "stat waits for the pool";
    } else {
      auto s = stat.wait();
      ASSERT_TRUE(s && s->ok()) << "stat went through the ring";
      auto m = mkdir.wait();
      ASSERT_TRUE(m && m->ok()) << "mkdir went through the ring";
    }
    EXPECT_FALSE(readlink.ready()) << "readlink has no opcode and waits for the pool";
    backend.gate().open();
    auto s = stat.wait();
    ASSERT_TRUE(s && s->ok());
    auto m = mkdir.wait();
    ASSERT_TRUE(m && m->ok());
    auto l = readlink.wait();
    ASSERT_TRUE(l && !l->ok());
    EXPECT_EQ(l->error().raw_os_error(), EINVAL);
  }
}

TEST(CompioMetaCancel, AnOperationAlreadyOnThePoolReportsItsResult) {
  TempDir dir;
  Backend backend(RuntimeDriverChoice::Polling);
  ASSERT_TRUE(backend.started());
  backend.gate().close();
  ReplySlot slot;
  OpId id = backend.submit(op::Meta{meta::MakeDir{at(dir.file("d")), 0700}}, slot);
  ASSERT_TRUE(backend.gate().wait_held());
  backend.driver().cancel(id);
  EXPECT_FALSE(slot.ready());
  backend.gate().open();
  auto r = slot.wait();
  ASSERT_TRUE(r);
  ASSERT_TRUE(r->ok()) << r->error().to_string();
  struct stat st;
  EXPECT_EQ(::stat(dir.file("d").c_str(), &st), 0);
}

}  // namespace
