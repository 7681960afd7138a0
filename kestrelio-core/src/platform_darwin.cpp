#include <pthread.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/sysctl.h>
#include <unistd.h>

#include "platform.hpp"

namespace kestrelio::platform {

void set_current_thread_name(const char* name) noexcept { pthread_setname_np(name); }

long online_processors() noexcept {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n < 0 ? 0 : n;
}

std::optional<std::int32_t> aio_process_max() noexcept {
  std::int32_t value = 0;
  size_t len = sizeof value;
  if (sysctlbyname("kern.aioprocmax", &value, &len, nullptr, 0) != 0) return std::nullopt;
  return value;
}

bool aio_cancel_strands_followers() noexcept { return false; }

std::string error_description(int errno_value) {
  char buf[256];
  if (strerror_r(errno_value, buf, sizeof buf) != 0) return "Unknown error";
  return buf;
}

StatInfo stat_info(const struct stat& st) noexcept {
  StatInfo i;
  i.mode = st.st_mode;
  i.ino = st.st_ino;
  i.dev = static_cast<std::uint64_t>(st.st_dev);
  i.nlink = st.st_nlink;
  i.uid = st.st_uid;
  i.gid = st.st_gid;
  i.size = st.st_size;
  i.atime_sec = st.st_atimespec.tv_sec;
  i.atime_nsec = static_cast<std::uint32_t>(st.st_atimespec.tv_nsec);
  i.mtime_sec = st.st_mtimespec.tv_sec;
  i.mtime_nsec = static_cast<std::uint32_t>(st.st_mtimespec.tv_nsec);
  i.ctime_sec = st.st_ctimespec.tv_sec;
  i.ctime_nsec = static_cast<std::uint32_t>(st.st_ctimespec.tv_nsec);
  i.blksize = st.st_blksize;
  i.blocks = st.st_blocks;
  i.rdev = static_cast<std::uint64_t>(st.st_rdev);
  return i;
}

long long send_file(int out_fd, int in_fd, std::uint64_t* offset, std::uint64_t count) noexcept {
  // The system's sendfile sends to a socket from an explicit offset only.
  off_t pos;
  if (offset) {
    pos = static_cast<off_t>(*offset);
  } else {
    pos = lseek(in_fd, 0, SEEK_CUR);
    if (pos < 0) return -1;
  }
  off_t len = static_cast<off_t>(count);
  int r = ::sendfile(in_fd, out_fd, pos, &len, nullptr, 0);
  if (r != 0 && len == 0) return -1;
  if (!offset) (void)lseek(in_fd, pos + len, SEEK_SET);
  return static_cast<long long>(len);
}

}  // namespace kestrelio::platform
