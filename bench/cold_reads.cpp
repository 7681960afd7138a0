// Cold 4 KiB random reads through the core alone: the file's pages are
// dropped and checked gone with mincore, then distinct random blocks are read
// with a fixed number in flight. For tuning the darwin-aio backend on Linux:
// its in-flight limit, glibc's aio_init knobs, and how many descriptors the
// reads are spread over (glibc runs the requests of one descriptor one after
// another).
//
//   cold_reads --file PATH [--backend darwin-aio|compio] [--depth N] [--reads N]
//              [--max-inflight N] [--aio-threads N] [--aio-num N] [--handles N] [--rounds N]

#include <aio.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "evict.hpp"
#include "kestrelio/driver.hpp"

using namespace kestrelio;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kBlock = 4096;

struct Window {
  std::mutex m;
  std::condition_variable cv;
  int inflight = 0;
  long failed = 0;

  void wait_below(int limit) {
    std::unique_lock<std::mutex> g(m);
    cv.wait(g, [&] { return inflight < limit; });
  }
  void complete(bool ok) {
    {
      std::lock_guard<std::mutex> g(m);
      --inflight;
      failed += !ok;
    }
    cv.notify_one();
  }
};

HandleId open_file(Driver& d, const std::string& path) {
  Window w;
  HandleId id = 0;
  op::Open o;
  o.read = true;
  o.path = path;
  w.inflight = 1;
  d.submit(std::move(o), [&](OpResult r) {
    if (auto* h = r.get_if<reply::Handle>()) id = h->id;
    w.complete(r.ok());
  });
  w.wait_below(1);
  if (!id) {
    std::fprintf(stderr, "open failed\n");
    std::exit(1);
  }
  return id;
}

void close_file(Driver& d, HandleId h) {
  Window w;
  w.inflight = 1;
  d.submit(op::Close{h}, [&](OpResult r) { w.complete(r.ok()); });
  w.wait_below(1);
}

double cold_reads(Driver& d, const std::vector<HandleId>& handles, const std::vector<std::uint64_t>& offsets,
                  int depth) {
  Window w;
  std::vector<std::vector<std::uint8_t>> buffers(static_cast<std::size_t>(depth), std::vector<std::uint8_t>(kBlock));
  std::vector<int> free_slots(static_cast<std::size_t>(depth));
  std::iota(free_slots.begin(), free_slots.end(), 0);
  std::mutex slots_m;
  auto start = Clock::now();
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    w.wait_below(depth);
    int slot;
    {
      std::lock_guard<std::mutex> g(slots_m);
      slot = free_slots.back();
      free_slots.pop_back();
    }
    {
      std::lock_guard<std::mutex> g(w.m);
      ++w.inflight;
    }
    HandleId h = handles[i % handles.size()];
    d.submit(op::Read{h, offsets[i], ReadBuf::raw(buffers[static_cast<std::size_t>(slot)].data(), kBlock)},
             [&w, &slots_m, &free_slots, slot](OpResult r) {
               {
                 std::lock_guard<std::mutex> g(slots_m);
                 free_slots.push_back(slot);
               }
               w.complete(r.ok() && r.get_if<reply::Read>() && r.get_if<reply::Read>()->n == kBlock);
             });
  }
  w.wait_below(1);
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  if (w.failed) std::fprintf(stderr, "  %ld reads failed\n", w.failed);
  return static_cast<double>(offsets.size()) / elapsed;
}

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: cold_reads --file PATH [--backend darwin-aio|compio] [--depth N] [--reads N] "
               "[--max-inflight N] [--aio-threads N] [--aio-num N] [--handles N] [--rounds N]\n");
  std::exit(2);
}

long number(const char* s) {
  char* end = nullptr;
  long v = std::strtol(s, &end, 10);
  if (!end || *end || v <= 0) usage();
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  std::string path;
  BackendKind kind = BackendKind::DarwinAio;
  int depth = 1, handles = 1, rounds = 1;
  long reads = 2000, aio_threads = 0, aio_num = 0;
  DriverOptions opts;
  for (int i = 1; i < argc; ++i) {
    auto arg = [&](const char* name) { return std::strcmp(argv[i], name) == 0 && i + 1 < argc; };
    if (arg("--file")) path = argv[++i];
    else if (arg("--backend")) {
      std::string b = argv[++i];
      if (b == "darwin-aio") kind = BackendKind::DarwinAio;
      else if (b == "compio") kind = BackendKind::Compio;
      else usage();
    } else if (arg("--depth")) depth = static_cast<int>(number(argv[++i]));
    else if (arg("--reads")) reads = number(argv[++i]);
    else if (arg("--max-inflight")) opts.max_inflight = static_cast<std::uint64_t>(number(argv[++i]));
    else if (arg("--aio-threads")) aio_threads = number(argv[++i]);
    else if (arg("--aio-num")) aio_num = number(argv[++i]);
    else if (arg("--handles")) handles = static_cast<int>(number(argv[++i]));
    else if (arg("--rounds")) rounds = static_cast<int>(number(argv[++i]));
    else usage();
  }
  if (path.empty()) usage();
#if defined(__GLIBC__)
  if (aio_threads || aio_num) {
    // Must come before the first AIO request of the process.
    struct aioinit init {};
    init.aio_threads = static_cast<int>(aio_threads ? aio_threads : 20);
    init.aio_num = static_cast<int>(aio_num ? aio_num : 64);
    init.aio_idle_time = 1;
    ::aio_init(&init);
  }
#else
  if (aio_threads || aio_num) std::fprintf(stderr, "aio_init is glibc's: ignored\n");
#endif
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    std::perror("stat");
    return 1;
  }
  std::size_t size = static_cast<std::size_t>(st.st_size);
  std::uint64_t blocks = size / kBlock;
  if (static_cast<std::uint64_t>(reads) * static_cast<std::uint64_t>(rounds) > blocks) usage();

  auto created = Driver::create(kind, opts);
  if (!created) {
    std::fprintf(stderr, "driver: %s\n", created.error().to_string().c_str());
    return 1;
  }
  std::unique_ptr<Driver> d = std::move(created).value();
  std::vector<HandleId> hs;
  for (int i = 0; i < handles; ++i) hs.push_back(open_file(*d, path));

  std::vector<std::uint64_t> all(blocks);
  std::iota(all.begin(), all.end(), 0);
  std::mt19937_64 rng(1);
  std::shuffle(all.begin(), all.end(), rng);
  for (int r = 0; r < rounds; ++r) {
    std::vector<std::uint64_t> offsets;
    for (long i = 0; i < reads; ++i) offsets.push_back(all[static_cast<std::size_t>(r * reads + i)] * kBlock);
    std::size_t left = evict(path, size);
    if (left * 100 > blocks) {
      std::fprintf(stderr, "%zu of %llu pages stayed cached\n", left, static_cast<unsigned long long>(blocks));
      return 1;
    }
    double rate = cold_reads(*d, hs, offsets, depth);
    std::printf("%s depth=%d max_inflight=%s aio_threads=%ld aio_num=%ld handles=%d reads=%ld: %.0f reads/s\n",
                d->name(), depth,
                opts.max_inflight ? std::to_string(*opts.max_inflight).c_str() : "default", aio_threads, aio_num,
                handles, reads, rate);
  }
  for (HandleId h : hs) close_file(*d, h);
  return 0;
}
