#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <vector>

#include "darwin_aio/job.hpp"
#include "darwin_aio/open.hpp"
#include "kestrelio/channel.hpp"
#include "kestrelio/msg.hpp"

namespace kestrelio::darwin_aio {

// One open file of the table.
struct FileEntry {
  UniqueFd fd;
  std::uint64_t active_ops = 0;  // jobs of this handle queued or in flight
  ReplyFn closing;               // the reply of a Close waiting for active_ops to reach 0
};

// The "kestrelio-aio" thread's state. Created on that thread and never shared:
// only the channels connect it to other threads.
class Driver {
 public:
  Driver(Sys& sys, Receiver<Msg> msgs, Sender<HelperJob> helper_tx, Receiver<Opened> opened_rx,
         std::uint64_t max_inflight);
  ~Driver();
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  // Serves messages until the operation channel disconnects and every job
  // and helper open has answered.
  void run();

 private:
  struct MsgsClosed {};
  struct OpenedClosed {};
  using Wake = std::variant<Msg, Opened, MsgsClosed, OpenedClosed>;

  // Loop (loop.cpp).
  Wake wait_idle();
  void busy_pass();
  void handle_msg(Msg m);
  void handle_submit(msg::Submit s);
  void mark_opened_closed() noexcept;

  // File table and opens (files.cpp).
  Expected<int> with_fd(HandleId handle) const;
  reply::Handle register_handle(UniqueFd fd, std::uint64_t size);
  bool has_backlog() const;
  void open_then(OpId op_id, std::string path, const OpenOptions& options, AfterOpen after, ReplyFn reply);
  void opened(PendingOpen pending, Expected<OpenedFile> result);
  void handle_opened(Opened o);
  void run_here(HelperJob job);
  void close_handle(HandleId handle, ReplyFn reply);
  void close_whole_file(UniqueFd fd);
  void account_finished(HandleId handle);

  // Adopted descriptors and metadata operations (meta.cpp).
  void adopt(op::Adopt a, ReplyFn reply);
  void submit_meta(OpId op_id, MetaOp op, ReplyFn reply);
  bool cancel_meta(OpId id);

  // Submission and completion (submit.cpp).
  void enqueue(OpId op_id, JobKind kind, HandleId handle, ReplyFn reply);
  void submit_ready();
  int start_request(Job& job, aiocb& cb);
  void run_sync(Job job);
  void reap();
  void finish(Job job, OpResult result);
  void cancel(OpId id);
  bool shares_descriptor(const Inflight& f) const noexcept;

  Sys& sys_;
  Signal wake_;  // poked by both channels the idle wait blocks on

  std::vector<Inflight> inflight;
  std::deque<Job> job_queue;
  Receiver<Msg> msgs;
  Sender<HelperJob> helper_tx;
  Receiver<Opened> opened_rx;
  std::unordered_set<OpId> at_helper;
  std::unordered_set<OpId> cancelled_opens;
  std::unordered_map<HandleId, FileEntry> files;
  // Metadata jobs sent to the helpers, for Cancel; answered ones are swept.
  std::unordered_map<OpId, std::shared_ptr<MetaTicket>> meta_at_helper;
  std::size_t meta_sweep_at = 64;
  std::uint64_t next_handle = 1;
  std::uint64_t max_inflight;
  std::uint64_t suspend_ns = kMinSuspendNs;
  bool opened_closed = false;
  bool msgs_closed = false;
  bool progress = false;

  // Control blocks already reaped, kept until the next aio_suspend: glibc's
  // worker may still read a block briefly after publishing its status, and
  // aio_suspend takes the lock that worker holds while doing so.
  std::vector<std::unique_ptr<aiocb>> retired_;
  // Frees `retired_` once no worker can still be reading it.
  void release_retired() noexcept;

  static constexpr std::uint64_t kMinSuspendNs = 20000;
  static constexpr std::uint64_t kMaxSuspendNs = 160000;
};

}  // namespace kestrelio::darwin_aio
