#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "darwin_aio/driver.hpp"

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
  if (!has_backlog()) {
    // Quiet backend: opening here costs no thread switch.
    Expected<OpenedFile> result = open_for(sys_, path, options, after);
    opened(PendingOpen{std::move(after), std::move(reply), op_id}, std::move(result));
    return;
  }
  at_helper.insert(op_id);
  std::optional<HelperJob> back = helper_tx.send(
      HelperJob(helper_job::Open{std::move(path), options, PendingOpen{std::move(after), std::move(reply), op_id}}));
  if (back) {
    at_helper.erase(op_id);
    run_here(std::move(*back));
  }
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
  const OpId id = o.pending.op_id;
  at_helper.erase(id);
  if (cancelled_opens.erase(id) != 0) {
    // Close the new descriptor (if any) and drop the write data before the reply.
    if (o.result) (void)o.result.value().fd.close();
    o.pending.after = after_open::ReplyHandle{};
    std::move(o.pending.reply)(IoError::os(ECANCELED));
    return;
  }
  opened(std::move(o.pending), std::move(o.result));
}

void Driver::run_here(HelperJob job) {
  if (auto* open = std::get_if<helper_job::Open>(&job)) {
    Expected<OpenedFile> result = open_for(sys_, open->path, open->options, open->pending.after);
    opened(std::move(open->pending), std::move(result));
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
