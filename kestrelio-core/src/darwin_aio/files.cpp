#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "darwin_aio/driver.hpp"
#include "darwin_aio/helper.hpp"

namespace kestrelio::darwin_aio {

Expected<int> Driver::with_fd(HandleId handle) const {
  auto it = files.find(handle);
  // A handle with a pending Close counts as closed for every new operation.
  if (it == files.end() || it->second.closing) return IoError::custom(IoErrorKind::InvalidInput, kUnknownHandle);
  return it->second.fd.get();
}

reply::Handle Driver::register_handle(UniqueFd fd, std::uint64_t size) {
  HandleId id = next_handle++;
  std::int64_t raw = fd.get();
  files.emplace(id, FileEntry{std::move(fd), 0, {}});
  return reply::Handle{id, size, raw};
}

bool Driver::has_backlog() const { return msgs.len() != 0 || !job_queue.empty() || !at_helper.empty(); }

void Driver::open_then(OpId op_id, std::string path, const OpenOptions& options, AfterOpen after, ReplyFn reply) {
  const bool with_size = needs_size(after);
  if (!has_backlog()) {
    // Quiet backend: opening here costs no thread switch, unless the open
    // could wait for ever.
    std::optional<Expected<OpenedFile>> result = open_without_waiting(sys_, path, options, with_size);
    if (result) {
      opened(PendingOpen{std::move(after), std::move(reply), op_id}, std::move(*result));
      return;
    }
    at_helper.emplace(op_id, PendingOpen{std::move(after), std::move(reply), op_id});
    start_waiting_open(sys_, helper_job::Open{std::move(path), options, op_id, with_size}, opened_tx);
    return;
  }
  at_helper.emplace(op_id, PendingOpen{std::move(after), std::move(reply), op_id});
  std::optional<HelperJob> back = helper_tx.send(HelperJob(helper_job::Open{std::move(path), options, op_id, with_size}));
  if (back) run_here(std::move(*back));
}

void Driver::opened(PendingOpen pending, Expected<OpenedFile> result) {
  if (!result) {
    std::move(pending.reply)(result.error());
    return;
  }
  OpenedFile file = std::move(result).value();
  if (std::holds_alternative<after_open::ReplyHandle>(pending.after)) {
    std::move(pending.reply)(register_handle(std::move(file.fd), file.size));
    return;
  }
  if (auto* rf = std::get_if<after_open::ReadFileThen>(&pending.after)) {
    if (file.size > rf->inline_max) {
      std::move(pending.reply)(register_handle(std::move(file.fd), file.size));
      return;
    }
    std::vector<std::uint8_t> buf;
    try {
      buf.resize(static_cast<std::size_t>(file.size == 0 ? 1 : file.size));
    } catch (const std::exception&) {
      close_whole_file(std::move(file.fd));
      std::move(pending.reply)(IoError::os(ENOMEM));
      return;
    }
    int fd = file.fd.get();
    job_queue.push_back(Job{job_kind::Read{std::nullopt, true, 0, JobBuf::owned(std::move(buf)), 0, 0, fd,
                                           std::move(file.fd)},
                            std::move(pending.reply), pending.op_id});
    submit_ready();
    return;
  }
  auto& wf = std::get<after_open::WriteFileThen>(pending.after);
  int fd = file.fd.get();
  job_queue.push_back(Job{job_kind::Write{std::nullopt, std::move(wf.data), 0, 0, fd, std::move(file.fd), false},
                          std::move(pending.reply), pending.op_id});
  submit_ready();
}

void Driver::handle_opened(Opened o) {
  progress = true;
  open_elsewhere_done(o.op_id, std::move(o.result));
}

void Driver::open_elsewhere_done(OpId id, Expected<OpenedFile> result) {
  auto it = at_helper.find(id);
  // Cancelled meanwhile and already answered: `result` closes the descriptor.
  if (it == at_helper.end()) return;
  auto node = at_helper.extract(it);
  opened(std::move(node.mapped()), std::move(result));
}

void Driver::run_here(HelperJob job) {
  if (auto* open = std::get_if<helper_job::Open>(&job)) {
    std::optional<Expected<OpenedFile>> result = open_without_waiting(sys_, open->path, open->options, open->needs_size);
    if (result) {
      open_elsewhere_done(open->op_id, std::move(*result));
    } else {
      start_waiting_open(sys_, std::move(*open), opened_tx);
    }
    return;
  }
  (void)std::get<helper_job::Close>(job).fd.close();
}

void Driver::close_handle(HandleId handle, ReplyFn reply) {
  auto it = files.find(handle);
  if (it == files.end() || it->second.closing) {
    std::move(reply)(IoError::custom(IoErrorKind::InvalidInput, kUnknownHandle));
    return;
  }
  if (it->second.active_ops > 0) {
    // Replied when the handle's last job finishes.
    it->second.closing = std::move(reply);
    return;
  }
  UniqueFd fd = std::move(it->second.fd);
  files.erase(it);
  int err = fd.close();
  std::move(reply)(err == 0 ? OpResult(reply::Unit{}) : OpResult(IoError::os(err)));
}

void Driver::account_finished(HandleId handle) {
  auto it = files.find(handle);
  if (it == files.end()) return;
  FileEntry& entry = it->second;
  if (entry.active_ops == 0) {
    std::fputs("kestrelio: active operation count below zero\n", stderr);
    std::abort();
  }
  if (--entry.active_ops != 0 || !entry.closing) return;
  UniqueFd fd = std::move(entry.fd);
  ReplyFn reply = std::move(entry.closing);
  files.erase(it);
  int err = fd.close();
  std::move(reply)(err == 0 ? OpResult(reply::Unit{}) : OpResult(IoError::os(err)));
}

void Driver::close_whole_file(UniqueFd fd) {
  if (!has_backlog()) {
    (void)fd.close();
    return;
  }
  // While other work waits, a possibly slow close goes to a helper; with no
  // helper left the returned job closes the descriptor as it drops.
  (void)helper_tx.send(HelperJob(helper_job::Close{std::move(fd)}));
}

}  // namespace kestrelio::darwin_aio
