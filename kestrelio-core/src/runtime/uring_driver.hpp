#pragma once

#include <liburing.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <unordered_map>

#include "kestrelio/expected.hpp"
#include "runtime/io_driver.hpp"

namespace kestrelio::runtime {

// True kernel completions through io_uring. Operations the ring (or the
// liburing we were built against) cannot express run on the pool instead.
constexpr std::uint32_t name_bit(OpKind kind) noexcept { return std::uint32_t{1} << static_cast<unsigned>(kind); }

class UringDriver final : public IoDriver {
 public:
  // Sets the ring up and probes the opcodes we rely on; fails with the
  // setup's errno, or EOPNOTSUPP when a required opcode is missing.
  // With `external_wait` the ring never keeps a read of the wake's eventfd
  // armed: the thread waits on that fd and on the ring's fd itself.
  static Expected<std::unique_ptr<UringDriver>> create(unsigned entries, BlockingPool& pool, RemoteQueue& remote,
                                                       CrossWake& wake, bool external_wait = false,
                                                       std::size_t async_threshold = 0);
  // Whether a ring with every opcode we rely on can be set up here.
  static Expected<bool> probe();
  UringDriver(BlockingPool& pool, RemoteQueue& remote, CrossWake& wake) noexcept
      : pool_(pool), remote_(remote), wake_(wake) {}
  ~UringDriver() override;
  UringDriver(const UringDriver&) = delete;
  UringDriver& operator=(const UringDriver&) = delete;

  RuntimeDriverType type() const noexcept override { return RuntimeDriverType::IoUring; }
  void submit(OpPtr op) override;
  void poll(bool block, std::vector<OpPtr>& done) override;
  bool completions_ready() const noexcept override;
  void shutdown() override;
  void abort_cancelled() override;

  // Whether truncation goes through the ring (needs kernel and liburing support).
  bool native_truncate() const noexcept { return native_truncate_; }
  std::size_t in_flight() const noexcept override { return inflight_.size(); }
  int completion_fd() const noexcept override { return ring_.ring_fd; }
  // Transfers sent to the kernel's workers because of the async threshold.
  std::uint64_t forced_async() const noexcept override { return forced_async_; }
  // Whether operations of `kind` go through the ring rather than the pool.
  bool native(OpKind kind) const noexcept;

 private:
  io_uring_sqe* next_sqe();
  bool prep(io_uring_sqe* sqe, OpState& op);
  void arm_wake();
  void force_async_above_threshold(io_uring_sqe* sqe, std::size_t len) noexcept;
  void flush_backlog();
  void reap(std::vector<OpPtr>* done);

  io_uring ring_{};
  bool ring_ready_ = false;
  bool native_truncate_ = false;
  std::uint32_t native_names_ = 0;  // name_bit() of each name operation the ring offers
  bool wake_armed_ = false;
  bool shutting_down_ = false;
  bool external_wait_ = false;
  std::size_t async_threshold_ = 0;
  std::uint64_t forced_async_ = 0;
  std::uint64_t wake_buf_ = 0;  // target of the eventfd read the ring keeps armed
  BlockingPool& pool_;
  RemoteQueue& remote_;
  CrossWake& wake_;
  std::unordered_map<OpState*, OpPtr> inflight_;
  std::deque<OpPtr> backlog_;  // waiting for submission-queue room
};

}  // namespace kestrelio::runtime
