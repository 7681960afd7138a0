#include "darwin_aio/helper.hpp"

namespace kestrelio::darwin_aio {

void run_open_helper(Sys& sys, Receiver<HelperJob> jobs, Sender<Opened> opened_tx) {
  // Blocks without timeout: a helper has nothing to do until a job arrives
  // or the driver thread ends and drops its sender.
  while (std::optional<HelperJob> job = jobs.recv()) {
    if (auto* m = std::get_if<helper_job::Meta>(&*job)) {
      run_meta_job(std::move(*m));
      continue;
    }
    auto* open = std::get_if<helper_job::Open>(&*job);
    if (!open) {
      (void)std::get<helper_job::Close>(*job).fd.close();
      continue;
    }
    Expected<OpenedFile> result = open_for(sys, open->path, open->options, open->pending.after);
    std::optional<Opened> back = opened_tx.send(Opened{std::move(result), std::move(open->pending)});
    if (!back) continue;
    // The driver thread is gone: nobody else can answer this open.
    ReplyFn reply = std::move(back->pending.reply);
    back.reset();  // closes the descriptor, releases the write data
    std::move(reply)(IoError::custom(IoErrorKind::BrokenPipe, kDriverGone));
  }
}

}  // namespace kestrelio::darwin_aio
