#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>

namespace kestrelio::py {

// The process's page size, computed once on first use (thread-safe); at
// least 1.
std::uint64_t page_size() noexcept;

// A read-nothing mapping of a file from offset 0: no access rights, shared,
// so creating and keeping it faults nothing in. It is only ever handed to
// `mincore`. Move-only; destruction unmaps it.
class ResidentView {
 public:
  ResidentView() = default;
  ResidentView(ResidentView&& o) noexcept;
  ResidentView& operator=(ResidentView&& o) noexcept;
  ResidentView(const ResidentView&) = delete;
  ResidentView& operator=(const ResidentView&) = delete;
  ~ResidentView();

  // Maps `length` bytes of `fd`; an empty view when `mmap` fails.
  static ResidentView map(int fd, std::uint64_t length) noexcept;

  explicit operator bool() const noexcept { return address_ != nullptr; }
  std::uint64_t length() const noexcept { return length_; }

  // Fills one byte per page of [off, off + len) (off page-aligned, at most
  // `kBatchPages` pages); bit 0 set means resident. False when `mincore`
  // fails.
  bool residency(std::uint64_t off, std::uint64_t len, unsigned char* vec) const noexcept;

  static constexpr std::size_t kBatchPages = 256;

 private:
  ResidentView(void* address, std::uint64_t length) noexcept : address_(address), length_(length) {}
  void unmap() noexcept;

  void* address_ = nullptr;
  std::uint64_t length_ = 0;
};

// Whether `mincore` on `view` tells this process the truth about the page
// cache of the file behind `fd` (described by `st`, whose size is at least
// 1 MiB short of the view's end). Some kernels answer "resident" for every
// page of a file the caller neither owns nor may write.
bool residency_is_reported(int fd, const struct stat& st, const ResidentView& view) noexcept;

}  // namespace kestrelio::py
