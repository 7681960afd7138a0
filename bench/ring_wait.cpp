// What one cold 4 KiB random read costs the kernel at 1 in flight, without
// Python and without kestrelio: a blocking pread, an io_uring read waited for
// in io_uring_enter, and the same read waited for in epoll_wait on the ring's
// fd (how an event loop waits), each on a plain ring and on one set up the way
// the library sets up its rings (COOP_TASKRUN | SINGLE_ISSUER). Wall time and
// CPU per read; the file's pages are dropped (and checked gone with mincore)
// before each variant.
//
//   ring_wait --file PATH [--reads N] [--rounds N]
//
// Against `python -m kestrelio bench`'s figure at 1 in flight this separates
// what the kernel's path costs from what the event loop adds.

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "evict.hpp"

// Defined by the build where liburing was found; otherwise only pread runs.
#ifdef RING_WAIT_HAVE_URING
#include <liburing.h>
#endif

namespace {

constexpr std::size_t kBlock = 4096;

double cpu_seconds() {
  rusage r{};
  getrusage(RUSAGE_SELF, &r);
  return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
         static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) * 1e-6;
}

struct Figure {
  double us_per_read;
  double cpu_us_per_read;
};

enum class Wait { Blocking, Enter, Epoll };

bool read_all(Wait how, unsigned flags, int fd, const std::vector<off_t>& offsets, Figure* out) {
  std::vector<char> buf(kBlock);
  auto t0 = std::chrono::steady_clock::now();
  double c0 = cpu_seconds();
  if (how == Wait::Blocking) {
    for (off_t off : offsets) {
      if (pread(fd, buf.data(), kBlock, off) != static_cast<ssize_t>(kBlock)) return false;
    }
  } else {
#ifdef RING_WAIT_HAVE_URING
    io_uring ring{};
    if (io_uring_queue_init(8, &ring, flags) < 0) return false;
    int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    epoll_ctl(ep, EPOLL_CTL_ADD, ring.ring_fd, &ev);
    bool ok = true;
    for (off_t off : offsets) {
      io_uring_sqe* sqe = io_uring_get_sqe(&ring);
      io_uring_prep_read(sqe, fd, buf.data(), kBlock, static_cast<__u64>(off));
      io_uring_cqe* cqe = nullptr;
      if (how == Wait::Enter) {
        io_uring_submit_and_wait(&ring, 1);
      } else {
        io_uring_submit(&ring);
        while (io_uring_peek_cqe(&ring, &cqe) != 0) {
          epoll_event got{};
          epoll_wait(ep, &got, 1, -1);
        }
      }
      if (io_uring_peek_cqe(&ring, &cqe) != 0 && io_uring_wait_cqe(&ring, &cqe) < 0) {
        ok = false;
        break;
      }
      ok = ok && cqe->res == static_cast<int>(kBlock);
      io_uring_cqe_seen(&ring, cqe);
    }
    close(ep);
    io_uring_queue_exit(&ring);
    if (!ok) return false;
#else
    (void)flags;
    return false;
#endif
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  double n = static_cast<double>(offsets.size());
  *out = {secs / n * 1e6, (cpu_seconds() - c0) / n * 1e6};
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string path;
  std::size_t reads = 3000;
  int rounds = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--file") path = argv[i + 1];
    else if (a == "--reads") reads = std::strtoul(argv[i + 1], nullptr, 10);
    else if (a == "--rounds") rounds = std::atoi(argv[i + 1]);
  }
  if (path.empty()) {
    std::fprintf(stderr, "usage: ring_wait --file PATH [--reads N] [--rounds N]\n");
    return 2;
  }
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st{};
  if (fd < 0 || fstat(fd, &st) < 0 || static_cast<std::size_t>(st.st_size) < kBlock * reads) {
    std::fprintf(stderr, "%s: cannot open, or smaller than --reads blocks\n", path.c_str());
    return 1;
  }
  struct Variant {
    const char* name;
    Wait how;
    unsigned flags;
  };
  std::vector<Variant> variants = {{"blocking pread", Wait::Blocking, 0}};
#ifdef RING_WAIT_HAVE_URING
  const unsigned lib = IORING_SETUP_COOP_TASKRUN | IORING_SETUP_SINGLE_ISSUER;
  variants.push_back({"ring, io_uring_enter", Wait::Enter, 0});
  variants.push_back({"ring, epoll_wait", Wait::Epoll, 0});
  variants.push_back({"library's ring, io_uring_enter", Wait::Enter, lib});
  variants.push_back({"library's ring, epoll_wait", Wait::Epoll, lib});
#endif
  std::mt19937_64 rng(1);
  std::uniform_int_distribution<off_t> pick(0, st.st_size / static_cast<off_t>(kBlock) - 1);
  for (int r = 0; r < rounds; ++r) {
    for (const Variant& v : variants) {
      std::vector<off_t> offsets(reads);
      for (off_t& o : offsets) o = pick(rng) * static_cast<off_t>(kBlock);
      std::size_t resident = evict(path, static_cast<std::size_t>(st.st_size));
      if (resident * 100 > static_cast<std::size_t>(st.st_size) / kBlock) {
        std::printf("round %d  %-32s skipped: %zu pages stayed in the page cache\n", r + 1, v.name, resident);
        continue;
      }
      Figure f{};
      if (!read_all(v.how, v.flags, fd, offsets, &f)) {
        std::printf("round %d  %-32s failed\n", r + 1, v.name);
        continue;
      }
      std::printf("round %d  %-32s %7.1f us/read  cpu %6.1f us/read\n", r + 1, v.name, f.us_per_read,
                  f.cpu_us_per_read);
    }
  }
  close(fd);
  return 0;
}
