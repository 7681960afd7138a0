#include <cerrno>

#include "darwin_aio/driver.hpp"
#include "darwin_aio/helper.hpp"
#include "meta_blocking.hpp"

namespace kestrelio::darwin_aio {

void Driver::adopt(op::Adopt a, ReplyFn reply) {
  // fstat first: a descriptor that is not open fails here and stays the
  // caller's, whatever close_on_release says.
  Expected<std::uint64_t> size = fd_size(sys_, a.fd);
  if (!size) {
    std::move(reply)(size.error());
    return;
  }
  UniqueFd fd = a.close_on_release ? UniqueFd(sys_, a.fd) : UniqueFd::borrowed(sys_, a.fd);
  std::move(reply)(register_handle(std::move(fd), size.value()));
}

void Driver::submit_meta(OpId op_id, MetaOp op, ReplyFn reply) {
  if (meta_at_helper.size() >= meta_sweep_at) {
    std::erase_if(meta_at_helper,
                  [](const auto& entry) { return entry.second->state.load() != MetaTicket::Queued; });
    meta_sweep_at = meta_at_helper.size() * 2 > 64 ? meta_at_helper.size() * 2 : 64;
  }
  auto ticket = std::make_shared<MetaTicket>();
  ticket->reply = std::move(reply);
  meta_at_helper.insert_or_assign(op_id, ticket);
  // Always on a helper: a listing or a stat on a slow disk must not hold up
  // the requests this thread polls for.
  std::optional<HelperJob> back = helper_tx.send(HelperJob(helper_job::Meta{std::move(op), std::move(ticket)}));
  if (back) {
    meta_at_helper.erase(op_id);
    run_meta_job(std::move(std::get<helper_job::Meta>(*back)));
  }
}

bool Driver::cancel_meta(OpId id) {
  auto it = meta_at_helper.find(id);
  if (it == meta_at_helper.end()) return false;
  std::shared_ptr<MetaTicket> ticket = std::move(it->second);
  meta_at_helper.erase(it);
  int queued = MetaTicket::Queued;
  // A helper that took the job first runs it and reports its result.
  if (!ticket->state.compare_exchange_strong(queued, MetaTicket::Cancelled, std::memory_order_acq_rel)) return false;
  std::move(ticket->reply)(IoError::os(ECANCELED));
  return true;
}

void run_meta_job(helper_job::Meta job) {
  int queued = MetaTicket::Queued;
  if (!job.ticket->state.compare_exchange_strong(queued, MetaTicket::Taken, std::memory_order_acq_rel)) return;
  ReplyFn reply = std::move(job.ticket->reply);
  std::move(reply)(run_meta_blocking(job.op));
}

}  // namespace kestrelio::darwin_aio
