#pragma once

#include <unistd.h>

#include <utility>

namespace kestrelio::runtime {

// Owns one descriptor and closes it once; errors of that close are ignored
// because nobody is left to hear them. A borrowed one (a descriptor the
// caller keeps) is only forgotten, never closed.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  static UniqueFd borrowed(int fd) noexcept {
    UniqueFd f(fd);
    f.owns_ = false;
    return f;
  }
  UniqueFd(UniqueFd&& o) noexcept : owns_(o.owns_), fd_(o.release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) {
      bool owns = o.owns_;
      reset(o.release());
      owns_ = owns;
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  bool owns() const noexcept { return owns_; }
  int release() noexcept {
    owns_ = true;
    return std::exchange(fd_, -1);
  }
  // Takes `fd` as an owned descriptor.
  void reset(int fd = -1) noexcept {
    int old = std::exchange(fd_, fd);
    if (old >= 0 && owns_) ::close(old);
    owns_ = true;
  }

 private:
  bool owns_ = true;
  int fd_ = -1;
};

}  // namespace kestrelio::runtime
