// What cancelling many finished operations costs the operations still queued:
// 100,000 small reads are submitted at once, then 20,000 ids of reads that
// have already answered are cancelled, then a Nop. Reports the median time
// from the last read's submission to the Nop's reply, and the CPU time the
// backend's driver thread spent in the round (from /proc, so a busy machine
// disturbs it less than the wall clock), with and without the cancels; the
// difference is the cost of the cancels.
//
// On io_uring it also parks 100,000 reads in the kernel on an empty FIFO, so
// the driver thread has nothing else to do, and times a Nop with and without
// the 20,000 cancels before it: the cancels' own cost, free of the noise of
// the reads.
//
//   cancel_finished [--backend darwin-aio|compio|compio-polling]... [--rounds N]

#include <fcntl.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "kestrelio/driver.hpp"

using namespace kestrelio;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kFinished = 20000;
constexpr int kQueued = 100000;
constexpr std::size_t kFileSize = 1 << 16;
constexpr std::size_t kLen = 64;

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

// Counts replies and lets the main thread wait for a number of them.
struct Countdown {
  std::mutex m;
  std::condition_variable cv;
  long left = 0;
  void arm(long n) {
    std::lock_guard<std::mutex> g(m);
    left = n;
  }
  void done() {
    std::lock_guard<std::mutex> g(m);
    if (--left == 0) cv.notify_all();
  }
  void wait() {
    std::unique_lock<std::mutex> g(m);
    // Nothing else to do until every reply is in.
    cv.wait(g, [&] { return left == 0; });
  }
};

std::string make_file() {
  const char* tmp = std::getenv("TMPDIR");
  std::string path = std::string(tmp ? tmp : "/tmp") + "/kestrelio-cancel-bench.dat";
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  std::vector<char> data(kFileSize, 'k');
  if (fd < 0 || ::write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) {
    std::perror("bench file");
    std::exit(1);
  }
  ::close(fd);
  return path;
}

// Nanoseconds on a CPU so far of the thread named `name` (the first field of
// its schedstat), or 0 when there is no such thread.
std::uint64_t thread_cpu_ns(const std::string& name) {
  std::uint64_t ns = 0;
  DIR* d = ::opendir("/proc/self/task");
  if (!d) return 0;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::string dir = std::string("/proc/self/task/") + e->d_name;
    std::string comm;
    std::getline(std::ifstream(dir + "/comm"), comm);
    if (comm != name) continue;
    std::ifstream(dir + "/schedstat") >> ns;
  }
  ::closedir(d);
  return ns;
}

const char* driver_thread(const Driver& d) {
  // The kernel keeps 15 characters of a thread's name.
  return std::strcmp(d.name(), "darwin-aio") == 0 ? "kestrelio-aio" : "kestrelio-compi";
}

struct Round {
  double wall;  // seconds from the last queued read's submission to the Nop's reply
  double cpu;   // seconds the driver thread ran meanwhile
};

op::Read small_read(HandleId h, int i) {
  return op::Read{h, (static_cast<std::uint64_t>(i) * 4096) % kFileSize, ReadBuf::owned(kLen)};
}

Round round_trip(Driver& d, HandleId h, const std::vector<OpId>& finished, bool cancel) {
  Countdown all;
  all.arm(kQueued + 1);
  std::atomic<std::int64_t> nop_at{0};
  std::uint64_t cpu0 = thread_cpu_ns(driver_thread(d));
  for (int i = 0; i < kQueued; ++i) d.submit(small_read(h, i), [&all](OpResult) { all.done(); });
  auto start = Clock::now();
  if (cancel) {
    for (OpId id : finished) d.cancel(id);
  }
  d.submit(op::Nop{}, [&](OpResult) {
    nop_at.store(Clock::now().time_since_epoch().count());
    all.done();
  });
  all.wait();
  double wall = std::chrono::duration<double>(Clock::duration(nop_at.load()) - start.time_since_epoch()).count();
  return Round{wall, static_cast<double>(thread_cpu_ns(driver_thread(d)) - cpu0) * 1e-9};
}

// Seconds until a Nop answers, after the cancels when `cancel` is set.
double nop_after(Driver& d, const std::vector<OpId>& finished, bool cancel) {
  Countdown one;
  one.arm(1);
  auto start = Clock::now();
  if (cancel) {
    for (OpId id : finished) d.cancel(id);
  }
  d.submit(op::Nop{}, [&one](OpResult) { one.done(); });
  one.wait();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> v);

// The cancels' cost with kQueued reads parked on an empty FIFO (io_uring
// only: elsewhere a positional read of a FIFO fails at once). The backend is
// dropped afterwards with the reads still parked, so it is made here.
void parked(int rounds) {
  DriverOptions o;
  o.runtime_driver = RuntimeDriverChoice::IoUring;
  auto created = Driver::create(BackendKind::Compio, o);
  if (!created) return;
  std::unique_ptr<Driver> d = std::move(created).value();
  std::vector<OpId> finished;
  Countdown warm;
  warm.arm(kFinished);
  for (int i = 0; i < kFinished; ++i) finished.push_back(d->submit(op::Nop{}, [&warm](OpResult) { warm.done(); }));
  warm.wait();
  std::string fifo = std::string("/tmp/kestrelio-cancel-bench-") + std::to_string(::getpid());
  if (::mkfifo(fifo.c_str(), 0600) != 0) return;
  // Held open for writing, so the backend's open does not wait for a writer.
  int writer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
  Countdown one;
  one.arm(1);
  HandleId h = 0;
  op::Open open;
  open.read = true;
  open.path = fifo;
  d->submit(std::move(open), [&](OpResult r) {
    if (auto* handle = r.get_if<reply::Handle>()) h = handle->id;
    one.done();
  });
  one.wait();
  if (h) {
    // Parked reads are never answered: the backend is dropped with them.
    for (int i = 0; i < kQueued; ++i) d->submit(op::Read{h, 0, ReadBuf::owned(kLen)}, [](OpResult) {});
    nop_after(*d, finished, false);
    std::vector<double> plain, cancelled;
    for (int r = 0; r < rounds; ++r) {
      plain.push_back(nop_after(*d, finished, false));
      cancelled.push_back(nop_after(*d, finished, true));
    }
    double a = median(plain) * 1e3, c = median(cancelled) * 1e3;
    std::printf("%-15s %d reads parked: Nop after %.2f ms; with %d finished ids cancelled first: %.2f ms (%+.2f)\n",
                d->name(), kQueued, a, kFinished, c, c - a);
  }
  d.reset();
  if (writer >= 0) ::close(writer);
  ::unlink(fifo.c_str());
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void usage() {
  std::fprintf(stderr, "usage: cancel_finished [--backend darwin-aio|compio|compio-polling]... [--rounds N]\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<const Backend*> chosen;
  int rounds = 5;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--backend") == 0 && i + 1 < argc) {
      const char* name = argv[++i];
      const Backend* found = nullptr;
      for (const Backend& b : kBackends)
        if (std::strcmp(b.label, name) == 0) found = &b;
      if (!found) usage();
      chosen.push_back(found);
    } else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
      if (rounds <= 0) usage();
    } else {
      usage();
    }
  }
  if (chosen.empty())
    for (const Backend& b : kBackends) chosen.push_back(&b);

  std::string path = make_file();
  for (const Backend* b : chosen) {
    DriverOptions o;
    o.runtime_driver = b->runtime;
    auto created = Driver::create(b->kind, o);
    if (!created) {
      std::printf("%-15s unavailable: %s\n", b->label, created.error().to_string().c_str());
      continue;
    }
    Driver& d = *created.value();
    Countdown one;
    one.arm(1);
    HandleId h = 0;
    op::Open open;
    open.read = true;
    open.path = path;
    d.submit(std::move(open), [&](OpResult r) {
      if (auto* handle = r.get_if<reply::Handle>()) h = handle->id;
      one.done();
    });
    one.wait();
    if (!h) {
      std::printf("%-15s cannot open %s\n", b->label, path.c_str());
      continue;
    }
    std::vector<OpId> finished;
    Countdown warm;
    warm.arm(kFinished);
    for (int i = 0; i < kFinished; ++i) finished.push_back(d.submit(small_read(h, i), [&warm](OpResult) { warm.done(); }));
    warm.wait();

    std::vector<double> plain, cancelled, plain_cpu, cancelled_cpu;
    for (int r = 0; r < rounds; ++r) {
      Round p = round_trip(d, h, finished, false);
      Round c = round_trip(d, h, finished, true);
      plain.push_back(p.wall);
      plain_cpu.push_back(p.cpu);
      cancelled.push_back(c.wall);
      cancelled_cpu.push_back(c.cpu);
    }
    double a = median(plain) * 1e3, c = median(cancelled) * 1e3;
    double ac = median(plain_cpu) * 1e3, cc = median(cancelled_cpu) * 1e3;
    std::printf("%-15s %d queued reads: Nop after %.1f ms, driver CPU %.1f ms; with %d finished ids cancelled: "
                "%.1f ms (%+.1f), CPU %.1f ms (%+.1f)\n",
                d.name(), kQueued, a, ac, kFinished, c, c - a, cc, cc - ac);
  }
  for (const Backend* b : chosen) {
    if (b->kind == BackendKind::Compio && b->runtime == RuntimeDriverChoice::IoUring) parked(rounds);
  }
  ::unlink(path.c_str());
  return 0;
}
