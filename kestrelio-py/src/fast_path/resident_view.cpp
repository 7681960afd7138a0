#include "fast_path/resident_view.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/fsuid.h>
#endif

#include <utility>

namespace kestrelio::py {

std::uint64_t page_size() noexcept {
  // A function-local static is initialised once even under concurrent first use.
  static const std::uint64_t page = [] {
    long v = sysconf(_SC_PAGESIZE);
    return v < 1 ? std::uint64_t{1} : static_cast<std::uint64_t>(v);
  }();
  return page;
}

ResidentView::ResidentView(ResidentView&& o) noexcept
    : address_(std::exchange(o.address_, nullptr)), length_(std::exchange(o.length_, 0)) {}

ResidentView& ResidentView::operator=(ResidentView&& o) noexcept {
  if (this != &o) {
    unmap();
    address_ = std::exchange(o.address_, nullptr);
    length_ = std::exchange(o.length_, 0);
  }
  return *this;
}

ResidentView::~ResidentView() { unmap(); }

void ResidentView::unmap() noexcept {
  if (address_) munmap(address_, static_cast<std::size_t>(length_));
  address_ = nullptr;
  length_ = 0;
}

ResidentView ResidentView::map(int fd, std::uint64_t length) noexcept {
  void* a = mmap(nullptr, static_cast<std::size_t>(length), PROT_NONE, MAP_SHARED, fd, 0);
  if (a == MAP_FAILED) return ResidentView();
  return ResidentView(a, length);
}

bool ResidentView::residency(std::uint64_t off, std::uint64_t len, unsigned char* vec) const noexcept {
  void* at = static_cast<char*>(address_) + off;
#if defined(__APPLE__)
  return mincore(at, static_cast<std::size_t>(len), reinterpret_cast<char*>(vec)) == 0;
#else
  return mincore(at, static_cast<std::size_t>(len), vec) == 0;
#endif
}

namespace {

#if defined(__linux__)
// Linux answers `mincore` on a file mapping truthfully only when the caller
// owns the file (by file-system uid), may write it, or is capable of
// CAP_FOWNER over it; otherwise it reports every page resident. The checks
// here are sufficient, not exact: a capable caller who may not write (a
// read-only file system) is declined, which only costs the fast path.
bool kernel_reports_page_cache(int fd, const struct stat& st) noexcept {
  // Passing an invalid id changes nothing and returns the current one.
  uid_t fsuid = static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1)));
  if (st.st_uid == fsuid) return true;
  // Effective ids, as the kernel's inode permission check uses them.
  return faccessat(fd, "", W_OK, AT_EACCESS | AT_EMPTY_PATH) == 0;
}
#else
bool kernel_reports_page_cache(int, const struct stat&) noexcept { return true; }
#endif

}  // namespace

bool residency_is_reported(int fd, const struct stat& st, const ResidentView& view) noexcept {
  if (!kernel_reports_page_cache(fd, st)) return false;
  // The view's last page lies at least 1 MiB past the end of file, so a
  // truthful kernel calls it absent; "resident" unmasks a kernel that answers
  // yes for everything (or a file that just grew a lot: declined this once).
  // It catches what the credential checks cannot see, such as an owner id
  // that the caller's user namespace does not map.
  std::uint64_t page = page_size();
  if (view.length() < page) return false;
  unsigned char vec[1] = {0};
  if (!view.residency(view.length() - page, page, vec)) return false;
  return (vec[0] & 1) == 0;
}

}  // namespace kestrelio::py
