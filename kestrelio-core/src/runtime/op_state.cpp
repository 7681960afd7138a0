#include "runtime/op_state.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kestrelio::runtime {

OpState::~OpState() {
  // An open that finished after its task was abandoned still owns the fd,
  // including one whose pool completion was dropped at teardown unreaped.
  if (kind == OpKind::Open && done && res >= 0 && !fd_claimed) ::close(static_cast<int>(res));
}

namespace {

std::int64_t result_of(long r) noexcept { return r < 0 ? -static_cast<std::int64_t>(errno) : r; }

}  // namespace

void OpState::run_blocking() noexcept {
  long r = 0;
  switch (kind) {
    case OpKind::Open:
      do r = ::open(path.c_str(), flags, mode);
      while (r < 0 && errno == EINTR);
      break;
    // A pipe or FIFO has no offsets: read and write it as a stream, as
    // io_uring and glibc's AIO do.
    case OpKind::Read:
      do r = ::pread(fd, buf, len, static_cast<off_t>(offset));
      while (r < 0 && errno == EINTR);
      if (r < 0 && errno == ESPIPE) {
        do r = ::read(fd, buf, len);
        while (r < 0 && errno == EINTR);
      }
      break;
    case OpKind::Write:
      do r = ::pwrite(fd, buf, len, static_cast<off_t>(offset));
      while (r < 0 && errno == EINTR);
      if (r < 0 && errno == ESPIPE) {
        do r = ::write(fd, buf, len);
        while (r < 0 && errno == EINTR);
      }
      break;
    case OpKind::Stat: {
      struct stat st;
      r = ::fstat(fd, &st);
      if (r == 0) size = static_cast<std::uint64_t>(st.st_size);
      break;
    }
    case OpKind::Sync:
      r = data_only ? ::fdatasync(fd) : ::fsync(fd);
      break;
    case OpKind::Truncate:
      do r = ::ftruncate(fd, static_cast<off_t>(offset));
      while (r < 0 && errno == EINTR);
      break;
    case OpKind::Close:
      // Not retried on EINTR: on Linux the descriptor is gone either way.
      r = ::close(to_close.release());
      break;
    case OpKind::Call:
      call();
      call = Job();
      break;
    case OpKind::StatAt:
      r = ::statx(dir_fd, path.c_str(), at_flags, STATX_BASIC_STATS, &stx);
      break;
    case OpKind::RenameAt:
      r = ::renameat(dir_fd, path.c_str(), dir_fd2, path2.c_str());
      break;
    case OpKind::UnlinkAt:
      r = ::unlinkat(dir_fd, path.c_str(), at_flags);
      break;
    case OpKind::MkdirAt:
      r = ::mkdirat(dir_fd, path.c_str(), mode);
      break;
    case OpKind::SymlinkAt:
      r = ::symlinkat(path2.c_str(), dir_fd, path.c_str());
      break;
    case OpKind::LinkAt:
      r = ::linkat(dir_fd, path.c_str(), dir_fd2, path2.c_str(), at_flags);
      break;
  }
  res = result_of(r);
  // Set here rather than when the runtime reaps it: at teardown the runtime
  // drops pool completions without reaping, and a new fd must still close.
  done = true;
}

}  // namespace kestrelio::runtime
