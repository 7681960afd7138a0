#pragma once

#include <memory>

#include "darwin_aio/sys.hpp"

namespace kestrelio::darwin_aio {

// POSIX AIO served by threads of the backend's own ("kestrelio-io"), for a
// forked child whose C library AIO would never run its requests. Like
// glibc, it runs one request per descriptor at a time, in submission order,
// and descriptors in parallel; a request not yet started can be cancelled.
// Workers transfer through this object's pread, pwrite and fsync; every
// other call is the real one.
class OwnThreadsAio : public RealSys {
 public:
  OwnThreadsAio();

  int aio_read(aiocb* cb) noexcept override;
  int aio_write(aiocb* cb) noexcept override;
  int aio_fsync(int op, aiocb* cb) noexcept override;
  int aio_error(const aiocb* cb) noexcept override;
  ssize_t aio_return(aiocb* cb) noexcept override;
  int aio_suspend(const aiocb* const list[], int count, const timespec* timeout) noexcept override;
  int aio_cancel(int fd, aiocb* cb) noexcept override;
  bool cancel_strands_followers() const noexcept override { return false; }
  bool keeps_descriptor_order() const noexcept override { return true; }

  struct State;

 private:
  int start(aiocb* cb, int kind) noexcept;
  // Shared with the worker threads, which outlive nothing but may outlive us.
  std::shared_ptr<State> state_;
};

}  // namespace kestrelio::darwin_aio
