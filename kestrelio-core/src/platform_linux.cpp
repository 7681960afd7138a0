#include <pthread.h>
#include <string.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

#include "platform.hpp"

namespace kestrelio::platform {

void set_current_thread_name(const char* name) noexcept {
  char buf[16];
  strncpy(buf, name, sizeof buf - 1);
  buf[sizeof buf - 1] = '\0';
  pthread_setname_np(pthread_self(), buf);
}

long online_processors() noexcept {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n < 0 ? 0 : n;
}

std::optional<std::int32_t> aio_process_max() noexcept { return std::nullopt; }

bool aio_cancel_strands_followers() noexcept {
#if defined(__GLIBC__)
  return true;
#else
  return false;
#endif
}

std::string error_description(int errno_value) {
  char buf[256];
  // glibc's strerror_r returns the text, which may or may not be in buf.
  const char* text = strerror_r(errno_value, buf, sizeof buf);
  return text ? std::string(text) : std::string("Unknown error");
}

StatInfo stat_info(const struct stat& st) noexcept {
  StatInfo i;
  i.mode = st.st_mode;
  i.ino = st.st_ino;
  i.dev = st.st_dev;
  i.nlink = st.st_nlink;
  i.uid = st.st_uid;
  i.gid = st.st_gid;
  i.size = st.st_size;
  i.atime_sec = st.st_atim.tv_sec;
  i.atime_nsec = static_cast<std::uint32_t>(st.st_atim.tv_nsec);
  i.mtime_sec = st.st_mtim.tv_sec;
  i.mtime_nsec = static_cast<std::uint32_t>(st.st_mtim.tv_nsec);
  i.ctime_sec = st.st_ctim.tv_sec;
  i.ctime_nsec = static_cast<std::uint32_t>(st.st_ctim.tv_nsec);
  i.blksize = st.st_blksize;
  i.blocks = st.st_blocks;
  i.rdev = st.st_rdev;
  return i;
}

long long send_file(int out_fd, int in_fd, std::uint64_t* offset, std::uint64_t count) noexcept {
  if (offset && *offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    errno = EINVAL;
    return -1;
  }
  off_t pos = offset ? static_cast<off_t>(*offset) : 0;
  // The kernel moves at most about 2 GiB per call anyway; callers loop as with os.sendfile.
  std::size_t len = count > (std::size_t{1} << 30) ? (std::size_t{1} << 30) : static_cast<std::size_t>(count);
  ssize_t n = ::sendfile(out_fd, in_fd, offset ? &pos : nullptr, len);
  return n;
}

}  // namespace kestrelio::platform
