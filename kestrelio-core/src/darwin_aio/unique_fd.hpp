#pragma once

#include <cerrno>
#include <utility>

#include "darwin_aio/sys.hpp"

namespace kestrelio::darwin_aio {

// Owns one descriptor and closes it through the backend's system-call layer.
// Dropping it ignores the result of close: nobody is left to hear it. A
// borrowed one (a descriptor the caller keeps) is only forgotten.
class UniqueFd {
 public:
  UniqueFd() = default;
  UniqueFd(Sys& sys, int fd) noexcept : sys_(&sys), fd_(fd) {}
  static UniqueFd borrowed(Sys& sys, int fd) noexcept {
    UniqueFd f(sys, fd);
    f.owns_ = false;
    return f;
  }
  UniqueFd(UniqueFd&& o) noexcept : sys_(o.sys_), fd_(std::exchange(o.fd_, -1)), owns_(o.owns_) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) {
      (void)close();
      sys_ = o.sys_;
      fd_ = std::exchange(o.fd_, -1);
      owns_ = o.owns_;
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { (void)close(); }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }

  // Closes now; returns 0 or the errno of close. The descriptor is released
  // either way, as close never leaves it open on the systems we run on.
  // A borrowed descriptor is released without a call and reports 0.
  int close() noexcept {
    int fd = std::exchange(fd_, -1);
    if (fd < 0 || !owns_) return 0;
    return sys_->close(fd) == 0 ? 0 : errno;
  }

 private:
  Sys* sys_ = nullptr;
  int fd_ = -1;
  bool owns_ = true;
};

}  // namespace kestrelio::darwin_aio
