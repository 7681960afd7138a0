#include "darwin_aio/sys.hpp"

#include <fcntl.h>
#include <unistd.h>

#include "platform.hpp"

namespace kestrelio::darwin_aio {

int RealSys::aio_read(aiocb* cb) noexcept { return ::aio_read(cb); }
int RealSys::aio_write(aiocb* cb) noexcept { return ::aio_write(cb); }
int RealSys::aio_fsync(int op, aiocb* cb) noexcept { return ::aio_fsync(op, cb); }
int RealSys::aio_error(const aiocb* cb) noexcept { return ::aio_error(cb); }
ssize_t RealSys::aio_return(aiocb* cb) noexcept { return ::aio_return(cb); }
int RealSys::aio_suspend(const aiocb* const list[], int count, const timespec* timeout) noexcept {
  return ::aio_suspend(list, count, timeout);
}
int RealSys::aio_cancel(int fd, aiocb* cb) noexcept { return ::aio_cancel(fd, cb); }
int RealSys::open(const char* path, int flags, mode_t mode) noexcept { return ::open(path, flags, mode); }
int RealSys::fstat(int fd, struct stat* st) noexcept { return ::fstat(fd, st); }
int RealSys::stat(const char* path, struct stat* st) noexcept { return ::stat(path, st); }
int RealSys::fcntl(int fd, int cmd, int arg) noexcept { return ::fcntl(fd, cmd, arg); }
ssize_t RealSys::pread(int fd, void* buf, size_t count, off_t offset) noexcept {
  return ::pread(fd, buf, count, offset);
}
ssize_t RealSys::pwrite(int fd, const void* buf, size_t count, off_t offset) noexcept {
  return ::pwrite(fd, buf, count, offset);
}
ssize_t RealSys::write(int fd, const void* buf, size_t count) noexcept { return ::write(fd, buf, count); }
int RealSys::fsync(int fd) noexcept { return ::fsync(fd); }
int RealSys::close(int fd) noexcept { return ::close(fd); }
int RealSys::ftruncate(int fd, off_t length) noexcept { return ::ftruncate(fd, length); }
bool RealSys::cancel_strands_followers() const noexcept { return platform::aio_cancel_strands_followers(); }
bool RealSys::keeps_descriptor_order() const noexcept { return platform::aio_keeps_descriptor_order(); }

Sys& real_sys() noexcept {
  // Trivially destructible, so it outlives every detached backend thread.
  static constinit RealSys instance;
  return instance;
}

}  // namespace kestrelio::darwin_aio
