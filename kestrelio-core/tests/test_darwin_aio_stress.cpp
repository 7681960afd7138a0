#include <gtest/gtest.h>

#include <random>

#include "test_darwin_aio_harness.hpp"

using namespace kestrelio;
using namespace kestrelio::aio_testing;

namespace {

// The full count runs in a few seconds even under the sanitizers;
// KESTRELIO_STRESS_OPS overrides it.
constexpr int kDefaultOps = 20000;

int stress_ops() {
  if (const char* env = std::getenv("KESTRELIO_STRESS_OPS")) return std::atoi(env);
  return kDefaultOps;
}

// Handles some submitter has opened and nobody has closed yet.
class HandlePool {
 public:
  void add(HandleId h) {
    std::lock_guard<std::mutex> g(m_);
    handles_.push_back(h);
  }
  std::optional<HandleId> pick(std::mt19937& rng, bool remove) {
    std::lock_guard<std::mutex> g(m_);
    if (handles_.empty()) return std::nullopt;
    std::size_t i = rng() % handles_.size();
    HandleId h = handles_[i];
    if (remove) {
      handles_[i] = handles_.back();
      handles_.pop_back();
    }
    return h;
  }
  std::vector<HandleId> take_all() {
    std::lock_guard<std::mutex> g(m_);
    return std::move(handles_);
  }

 private:
  std::mutex m_;
  std::vector<HandleId> handles_;
};

std::atomic<int> succeeded{0};

// Counts calls of one operation's callback, and notices one dropped uncalled.
struct CallRecord {
  std::atomic<int> calls{0};
  std::atomic<int> dropped{0};
  int kind = -1;  // which operation, for the report of one that never answered
  OpId id = 0;
};

// Names the operations that never answered, so a hang says what hung.
std::string unanswered(const std::vector<CallRecord>& records) {
  static const char* const names[] = {"open-read", "open-rw", "read-raw", "read-owned", "read-to-end", "write",
                                      "sync",      "size",    "close",    "read-file",  "write-file",  "nop"};
  std::string out;
  for (const CallRecord& r : records) {
    if (r.calls.load() != 0) continue;
    out += " ";
    out += r.kind >= 0 && r.kind < 12 ? names[r.kind] : "?";
    out += "#" + std::to_string(r.id);
  }
  return out;
}

struct Counted {
  CallRecord* record;
  std::atomic<int>* answered;
  std::function<void(OpResult&)> then;
  bool called = false;

  Counted(CallRecord* r, std::atomic<int>* a, std::function<void(OpResult&)> t)
      : record(r), answered(a), then(std::move(t)) {}
  Counted(Counted&& o) noexcept
      : record(o.record), answered(o.answered), then(std::move(o.then)), called(std::exchange(o.called, true)) {}
  Counted(const Counted&) = delete;
  ~Counted() {
    if (!called) record->dropped.fetch_add(1);
  }
  void operator()(OpResult r) {
    called = true;
    if (r.ok()) succeeded.fetch_add(1);
    if (then) then(r);
    record->calls.fetch_add(1);
    answered->fetch_add(1);
  }
};

TEST(DarwinAioStress, MixedOperationsAnswerOnceAndLeakNothing) {
  const int total = stress_ops();
  constexpr int kThreads = 4;
  const int per_thread = total / kThreads;
  ASSERT_TRUE(backends_gone());
  TempDir dir;
  std::vector<std::string> shared_files;
  for (int i = 0; i < 6; ++i) shared_files.push_back(dir.write("shared" + std::to_string(i), pattern(65536, i)));
  const int fds_before = count_open_fds();

  std::vector<CallRecord> records(static_cast<std::size_t>(per_thread * kThreads));
  std::atomic<int> answered{0};
  HandlePool pool;
  {
    DriverOptions options;
#if defined(__SANITIZE_THREAD__)
    // glibc starts its AIO workers with an internal pthread_create that
    // ThreadSanitizer never sees, and crashes when one of them starts
    // another; emulate the kernel's side in-process instead.
    auto& emulated = keep_alive<HeldAio>();
    emulated.auto_release = true;
    options.aio_sys = &emulated;
#endif
    auto d = make_driver(options);
    ASSERT_TRUE(d);
    auto submitter = [&](int t) {
      std::mt19937 rng(1234 + t);
      std::vector<OpId> recent;
      for (int i = 0; i < per_thread; ++i) {
        CallRecord* rec = &records[static_cast<std::size_t>(t * per_thread + i)];
        auto counted = [&](std::function<void(OpResult&)> then = {}) {
          return ReplyFn(Counted(rec, &answered, std::move(then)));
        };
        auto keep_handle = [&pool](OpResult& r) {
          if (auto* h = r.get_if<reply::Handle>()) pool.add(h->id);
        };
        const std::string& file = shared_files[rng() % shared_files.size()];
        std::string scratch = dir.file("scratch" + std::to_string(t) + "_" + std::to_string(rng() % 4));
        std::uint64_t pos = rng() % 70000;
        OpId id = 0;
        rec->kind = static_cast<int>(rng() % 12);
        switch (rec->kind) {
          case 0: {
            op::Open o;
            o.read = true;
            o.path = file;
            id = d->submit(std::move(o), counted(keep_handle));
            break;
          }
          case 1: {
            op::Open o;
            o.read = o.write = o.create = true;
            o.append = rng() % 2 == 0;
            o.path = scratch;
            id = d->submit(std::move(o), counted(keep_handle));
            break;
          }
          case 2: {
            auto h = pool.pick(rng, false);
            auto buf = std::make_shared<std::vector<std::uint8_t>>(1 + rng() % 8192);
            ReadBuf rb = ReadBuf::raw(buf->data(), buf->size());
            id = d->submit(op::Read{h.value_or(0), pos, rb}, counted([buf](OpResult&) {}));
            break;
          }
          case 3: {
            auto h = pool.pick(rng, false);
            id = d->submit(op::Read{h.value_or(0), pos, ReadBuf::owned(rng() % 8192)}, counted());
            break;
          }
          case 4: {
            auto h = pool.pick(rng, false);
            id = d->submit(op::ReadToEnd{h.value_or(0), pos}, counted());
            break;
          }
          case 5: {
            auto h = pool.pick(rng, false);
            std::vector<std::uint8_t> data(rng() % 4096, static_cast<std::uint8_t>(t));
            id = d->submit(op::Write{rng() % 2 == 0, h.value_or(0), pos, Payload::owned(std::move(data))}, counted());
            break;
          }
          case 6: {
            auto h = pool.pick(rng, false);
            id = d->submit(op::Sync{rng() % 2 == 0, h.value_or(0)}, counted());
            break;
          }
          case 7: {
            auto h = pool.pick(rng, false);
            id = d->submit(op::Size{h.value_or(0)}, counted());
            break;
          }
          case 8: {
            auto h = pool.pick(rng, true);
            id = d->submit(op::Close{h.value_or(0)}, counted());
            break;
          }
          case 9:
            id = d->submit(op::ReadFile{rng() % 131072, file}, counted(keep_handle));
            break;
          case 10: {
            std::vector<std::uint8_t> data(rng() % 20000, static_cast<std::uint8_t>(i));
            id = d->submit(op::WriteFile{Payload::owned(std::move(data)), scratch}, counted());
            break;
          }
          default:
            id = d->submit(op::Nop{}, counted());
            break;
        }
        rec->id = id;
        recent.push_back(id);
        if (rng() % 8 == 0) d->cancel(recent[rng() % recent.size()]);
        if (recent.size() > 32) recent.erase(recent.begin());
      }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(submitter, t);
    for (auto& th : threads) th.join();
    ASSERT_TRUE(eventually([&] { return answered.load() == per_thread * kThreads; }, 60s))
        << answered.load() << " of " << per_thread * kThreads << "; unanswered:" << unanswered(records);

    // Close what is still open; closes of handles already closed just fail.
    Replies closes;
    std::vector<HandleId> left = pool.take_all();
    for (std::size_t i = 0; i < left.size(); ++i) d->submit(op::Close{left[i]}, closes.fn(static_cast<int>(i)));
    ASSERT_TRUE(closes.wait_count(left.size()));
    // Counted while the driver still lives: dropping it closes whatever its
    // table holds, which would hide a handle the table lost track of.
    EXPECT_TRUE(eventually([&] { return count_open_fds() == fds_before; }, 5s))
        << count_open_fds() << " descriptors open with every handle closed, " << fds_before << " before";
  }
  ASSERT_TRUE(backends_gone());
  for (std::size_t i = 0; i < records.size(); ++i) {
    ASSERT_EQ(records[i].calls.load(), 1) << "operation " << i;
    ASSERT_EQ(records[i].dropped.load(), 0) << "operation " << i;
  }
  // Guards against a run where nearly everything failed on unknown handles.
  EXPECT_GT(succeeded.load(), total / 3);
  EXPECT_TRUE(eventually([&] { return count_open_fds() == fds_before; }, 5s))
      << count_open_fds() << " descriptors open, " << fds_before << " before";
}

}  // namespace
