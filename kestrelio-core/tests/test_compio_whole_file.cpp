#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "compio_backend/read.hpp"
#include "compio_harness.hpp"
#include "runtime/fs.hpp"
#include "runtime/runtime.hpp"

using namespace kestrelio;
using namespace kestrelio::testing;

namespace {

class CompioWholeFile : public ::testing::TestWithParam<RuntimeDriverChoice> {
 protected:
  void SetUp() override {
    KESTRELIO_SKIP_WITHOUT_IO_URING(GetParam());
    ASSERT_TRUE(backend.started());
  }

  HandleId open(const std::string& path) {
    OpResult r = backend.call(op::Open{true, false, false, false, false, false, path});
    auto* h = r.get_if<reply::Handle>();
    EXPECT_NE(h, nullptr) << (r.ok() ? to_text(r.reply()) : r.error().to_string());
    return h ? h->id : 0;
  }

  // Submits `op` (a whole-file read of /dev/zero), shows that other operations
  // keep answering while it runs, then cancels it: it must answer ECANCELED.
  void expect_endless_read_yields_and_cancels(Op op) {
    std::string p = dir.write("small", "abc");
    HandleId small = open(p);
    ReplySlot endless;
    OpId id = backend.submit(std::move(op), endless);
    for (int i = 0; i < 20; ++i) {
      EXPECT_EQ(bytes_of(backend.call(op::Read{small, 0, ReadBuf::owned(3)})), "abc");
      EXPECT_TRUE(backend.call(op::Nop{}).ok());
    }
    EXPECT_FALSE(endless.ready());
    backend.driver().cancel(id);
    auto r = endless.wait();
    ASSERT_TRUE(r) << "the cancelled read did not stop";
    ASSERT_FALSE(r->ok());
    EXPECT_EQ(r->error().raw_os_error(), ECANCELED);
  }

  TempDir dir;
  Backend backend{GetParam()};
};

TEST_P(CompioWholeFile, ReadToEndOfAnEndlessFileYieldsAndStopsWhenCancelled) {
  expect_endless_read_yields_and_cancels(op::ReadToEnd{open("/dev/zero"), 0});
}

TEST_P(CompioWholeFile, ReadFileOfAnEndlessFileYieldsAndStopsWhenCancelled) {
  expect_endless_read_yields_and_cancels(op::ReadFile{1 << 20, "/dev/zero"});
}

INSTANTIATE_TEST_SUITE_P(Drivers, CompioWholeFile,
                         ::testing::Values(RuntimeDriverChoice::Polling, RuntimeDriverChoice::IoUring),
                         [](const auto& info) { return std::string(choice_name(info.param)); });

TEST(CompioReadToEnd, BytesBeyondTheExpectedSizeKeepTheirOrder) {
  // Room for one byte, then 5 MiB + 3 that go through several overflow pieces.
  TempDir dir;
  std::string content;
  for (std::size_t i = 0; content.size() < (std::size_t{5} << 20) + 3; ++i) content += std::to_string(i) + ",";
  std::string p = dir.write("big", content);
  auto rt = runtime::Runtime::create({}).value();
  auto got = rt->block_on([](std::string path) -> runtime::Task<Expected<std::vector<std::uint8_t>>> {
    runtime::OpenOptions o;
    o.read = true;
    auto file = co_await runtime::open(std::move(path), o);
    if (!file) co_return file.error();
    co_return co_await compio_backend::read_to_end(file.value(), 0, 1, std::make_shared<bool>(false));
  }(p));
  ASSERT_TRUE(got.ok()) << got.error().to_string();
  EXPECT_TRUE(std::string(got.value().begin(), got.value().end()) == content);
}

}  // namespace
