#pragma once

#include <aio.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

namespace kestrelio::darwin_aio {

// Every system call the backend makes, behind one seam so tests can inject
// EAGAIN, short transfers and errors. Each returns what the libc call of the
// same name returns and leaves the failure in errno.
class Sys {
 public:
  virtual int aio_read(aiocb* cb) noexcept = 0;
  virtual int aio_write(aiocb* cb) noexcept = 0;
  virtual int aio_fsync(int op, aiocb* cb) noexcept = 0;
  virtual int aio_error(const aiocb* cb) noexcept = 0;
  virtual ssize_t aio_return(aiocb* cb) noexcept = 0;
  virtual int aio_suspend(const aiocb* const list[], int count, const timespec* timeout) noexcept = 0;
  virtual int aio_cancel(int fd, aiocb* cb) noexcept = 0;
  virtual int open(const char* path, int flags, mode_t mode) noexcept = 0;
  virtual int fstat(int fd, struct stat* st) noexcept = 0;
  virtual int stat(const char* path, struct stat* st) noexcept = 0;
  // fcntl with an integer argument (F_GETFL, F_SETFL).
  virtual int fcntl(int fd, int cmd, int arg) noexcept = 0;
  virtual ssize_t pread(int fd, void* buf, size_t count, off_t offset) noexcept = 0;
  virtual ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) noexcept = 0;
  virtual ssize_t write(int fd, const void* buf, size_t count) noexcept = 0;
  virtual int fsync(int fd) noexcept = 0;
  virtual int close(int fd) noexcept = 0;
  virtual int ftruncate(int fd, off_t length) noexcept = 0;
  // True when aio_cancel of one request may leave later requests on the
  // same descriptor pending for ever (glibc's queueing does).
  virtual bool cancel_strands_followers() const noexcept = 0;
  // True when requests on one descriptor run one after another in
  // submission order (glibc's queueing does), so appends keep their order.
  virtual bool keeps_descriptor_order() const noexcept = 0;

 protected:
  // Never deleted through this interface; the real layer is a static that
  // must stay usable by detached threads until the process ends.
  ~Sys() = default;
};

// The calls themselves. Tests derive from it and override a few.
class RealSys : public Sys {
 public:
  int aio_read(aiocb* cb) noexcept override;
  int aio_write(aiocb* cb) noexcept override;
  int aio_fsync(int op, aiocb* cb) noexcept override;
  int aio_error(const aiocb* cb) noexcept override;
  ssize_t aio_return(aiocb* cb) noexcept override;
  int aio_suspend(const aiocb* const list[], int count, const timespec* timeout) noexcept override;
  int aio_cancel(int fd, aiocb* cb) noexcept override;
  int open(const char* path, int flags, mode_t mode) noexcept override;
  int fstat(int fd, struct stat* st) noexcept override;
  int stat(const char* path, struct stat* st) noexcept override;
  int fcntl(int fd, int cmd, int arg) noexcept override;
  ssize_t pread(int fd, void* buf, size_t count, off_t offset) noexcept override;
  ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) noexcept override;
  ssize_t write(int fd, const void* buf, size_t count) noexcept override;
  int fsync(int fd) noexcept override;
  int close(int fd) noexcept override;
  int ftruncate(int fd, off_t length) noexcept override;
  bool cancel_strands_followers() const noexcept override;
  bool keeps_descriptor_order() const noexcept override;
};

// The process-wide real layer, used when DriverOptions::aio_sys is null.
Sys& real_sys() noexcept;

}  // namespace kestrelio::darwin_aio
