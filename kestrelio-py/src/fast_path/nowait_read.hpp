#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrelio::py {

// A read that fails rather than wait for the disk: where the kernel offers
// one, it answers for the page cache itself in the same system call that
// copies, for any file the caller may read.
enum class NowaitKind {
  Copied,       // `n` bytes copied; 0 at end of file
  NotResident,  // a page under the range is not in the page cache
  Unsupported,  // this kernel or file system cannot read without waiting
  Failed,       // any other error
};

struct NowaitResult {
  NowaitKind kind;
  std::uint64_t n;
};

// One attempt at up to `len` bytes of `fd` at `pos`, retried on EINTR. The
// count may be short: at end of file, or where a page that is not resident
// follows resident ones.
NowaitResult read_without_waiting(int fd, char* dest, std::size_t len, std::uint64_t pos) noexcept;

// Whether `fd` takes reads that refuse to wait (one byte read at 0 to ask).
bool reads_without_waiting(int fd) noexcept;

}  // namespace kestrelio::py
