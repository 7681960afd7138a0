// Throughput of the core alone, without Python: 4 KiB random reads from a
// file in the page cache with 64 in flight, and Nop round trips one at a
// time and 64 at a time, for each backend.
//
//   core_bench [--backend darwin-aio|compio|compio-polling]... [--seconds S]

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "kestrelio/driver.hpp"

using namespace kestrelio;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kFileSize = 64u << 20;
constexpr std::size_t kBlock = 4096;
constexpr int kDepth = 64;

struct Backend {
  const char* label;
  BackendKind kind;
  RuntimeDriverChoice runtime;
};

const Backend kBackends[] = {
    {"darwin-aio", BackendKind::DarwinAio, RuntimeDriverChoice::Auto},
    {"compio", BackendKind::Compio, RuntimeDriverChoice::IoUring},
    {"compio-polling", BackendKind::Compio, RuntimeDriverChoice::Polling},
};

// Counts operations in flight and lets the submitter wait for a free slot.
struct Window {
  std::mutex m;
  std::condition_variable cv;
  int inflight = 0;
  long done = 0;
  long failed = 0;
  std::vector<int> free_slots;

  void wait_below(int limit) {
    std::unique_lock<std::mutex> g(m);
    // The submitter has nothing to do until a completion frees a slot.
    cv.wait(g, [&] { return inflight < limit; });
  }
  void complete(bool ok, int slot = -1) {
    {
      std::lock_guard<std::mutex> g(m);
      --inflight;
      ++done;
      failed += !ok;
      if (slot >= 0) free_slots.push_back(slot);
    }
    cv.notify_one();
  }
};

std::string make_file() {
  const char* tmp = std::getenv("TMPDIR");
  std::string path = std::string(tmp ? tmp : "/tmp") + "/kestrelio-core-bench.dat";
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::perror("open bench file");
    std::exit(1);
  }
  std::vector<std::uint8_t> chunk(1 << 20);
  std::mt19937 rng(42);
  for (auto& b : chunk) b = static_cast<std::uint8_t>(rng());
  for (std::size_t off = 0; off < kFileSize; off += chunk.size()) {
    if (::pwrite(fd, chunk.data(), chunk.size(), static_cast<off_t>(off)) != static_cast<ssize_t>(chunk.size())) {
      std::perror("write bench file");
      std::exit(1);
    }
  }
  // Read it back once so every page is resident.
  for (std::size_t off = 0; off < kFileSize; off += chunk.size())
    (void)!::pread(fd, chunk.data(), chunk.size(), static_cast<off_t>(off));
  ::close(fd);
  return path;
}

double random_reads(Driver& d, HandleId h, double seconds) {
  Window w;
  std::vector<std::vector<std::uint8_t>> buffers(kDepth, std::vector<std::uint8_t>(kBlock));
  for (int i = 0; i < kDepth; ++i) w.free_slots.push_back(i);
  std::mt19937_64 rng(7);
  const std::uint64_t blocks = kFileSize / kBlock;
  auto start = Clock::now();
  auto end = start + std::chrono::duration<double>(seconds);
  long submitted = 0;
  while (Clock::now() < end) {
    w.wait_below(kDepth);
    int slot;
    {
      std::lock_guard<std::mutex> g(w.m);
      slot = w.free_slots.back();
      w.free_slots.pop_back();
      ++w.inflight;
    }
    std::uint64_t pos = (rng() % blocks) * kBlock;
    d.submit(op::Read{h, pos, ReadBuf::raw(buffers[static_cast<std::size_t>(slot)].data(), kBlock)},
             [&w, slot](OpResult r) { w.complete(r.ok(), slot); });
    ++submitted;
  }
  w.wait_below(1);
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  if (w.failed) std::fprintf(stderr, "  %ld reads failed\n", w.failed);
  return static_cast<double>(submitted) / elapsed;
}

double nops(Driver& d, int depth, double seconds) {
  Window w;
  auto start = Clock::now();
  auto end = start + std::chrono::duration<double>(seconds);
  long submitted = 0;
  while (Clock::now() < end) {
    w.wait_below(depth);
    {
      std::lock_guard<std::mutex> g(w.m);
      ++w.inflight;
    }
    d.submit(op::Nop{}, [&w](OpResult r) { w.complete(r.ok()); });
    ++submitted;
  }
  w.wait_below(1);
  return static_cast<double>(submitted) / std::chrono::duration<double>(Clock::now() - start).count();
}

HandleId open_file(Driver& d, const std::string& path) {
  Window w;
  HandleId id = 0;
  std::string error;
  op::Open o;
  o.read = true;
  o.path = path;
  w.inflight = 1;
  d.submit(std::move(o), [&](OpResult r) {
    if (auto* h = r.get_if<reply::Handle>()) id = h->id;
    if (!r.ok()) error = r.error().to_string();
    w.complete(r.ok());
  });
  w.wait_below(1);
  if (!id) std::fprintf(stderr, "  open failed: %s\n", error.c_str());
  return id;
}

void close_file(Driver& d, HandleId h) {
  Window w;
  w.inflight = 1;
  d.submit(op::Close{h}, [&](OpResult r) { w.complete(r.ok()); });
  w.wait_below(1);
}

void usage() {
  std::fprintf(stderr, "usage: core_bench [--backend darwin-aio|compio|compio-polling]... [--seconds S]\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<const Backend*> chosen;
  double seconds = 1.5;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--backend") == 0 && i + 1 < argc) {
      const char* name = argv[++i];
      const Backend* found = nullptr;
      for (const Backend& b : kBackends)
        if (std::strcmp(b.label, name) == 0) found = &b;
      if (!found) usage();
      chosen.push_back(found);
    } else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
      if (seconds <= 0) usage();
    } else {
      usage();
    }
  }
  if (chosen.empty())
    for (const Backend& b : kBackends) chosen.push_back(&b);

  std::string path = make_file();
  struct Row {
    std::string label, name;
    double reads = 0, nop1 = 0, nop64 = 0;
    std::string error;
  };
  std::vector<Row> rows;
  for (const Backend* b : chosen) {
    Row row{b->label, "", 0, 0, 0, ""};
    std::fprintf(stderr, "%s...\n", b->label);
    DriverOptions opts;
    opts.runtime_driver = b->runtime;
    auto created = Driver::create(b->kind, opts);
    if (!created) {
      row.error = created.error().to_string();
      rows.push_back(row);
      continue;
    }
    std::unique_ptr<Driver> d = std::move(created).value();
    row.name = d->name();
    if (HandleId h = open_file(*d, path)) {
      row.reads = random_reads(*d, h, seconds);
      close_file(*d, h);
    }
    row.nop1 = nops(*d, 1, seconds / 2);
    row.nop64 = nops(*d, kDepth, seconds / 2);
    rows.push_back(row);
  }
  ::unlink(path.c_str());

  std::printf("%-16s %-16s %18s %16s %16s\n", "backend", "name", "4K rand reads/s", "nop rt/s (1)", "nop/s (64)");
  for (const Row& r : rows) {
    if (!r.error.empty()) {
      std::printf("%-16s skipped: %s\n", r.label.c_str(), r.error.c_str());
      continue;
    }
    std::printf("%-16s %-16s %18.0f %16.0f %16.0f\n", r.label.c_str(), r.name.c_str(), r.reads, r.nop1, r.nop64);
  }
  return 0;
}
