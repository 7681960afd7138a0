#include "darwin_aio/helper.hpp"

#include "thread.hpp"

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
    std::optional<Expected<OpenedFile>> result = open_without_waiting(sys, open->path, open->options, open->needs_size);
    if (!result) {
      start_waiting_open(sys, std::move(*open), opened_tx);
      continue;
    }
    // If the driver thread is gone, the returned message closes the descriptor.
    (void)opened_tx.send(Opened{std::move(*result), open->op_id});
  }
}

void start_waiting_open(Sys& sys, helper_job::Open job, Sender<Opened> opened_tx) {
  const OpId id = job.op_id;
  auto body = [&sys, job = std::move(job), tx = opened_tx]() mutable {
    // May block for ever (a FIFO nobody opens): this thread has nothing else to do.
    Expected<OpenedFile> result = open_for(sys, job.path, job.options, job.needs_size);
    (void)tx.send(Opened{std::move(result), job.op_id});
  };
  if (std::optional<IoError> err = spawn_detached("kestrelio-open", std::move(body))) {
    (void)opened_tx.send(Opened{*err, id});
  }
}

}  // namespace kestrelio::darwin_aio
