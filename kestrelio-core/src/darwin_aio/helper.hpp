#pragma once

#include "darwin_aio/open.hpp"
#include "kestrelio/channel.hpp"

namespace kestrelio::darwin_aio {

// Body of one "kestrelio-open" thread: performs opens and closes that might
// block, until the helper-job channel disconnects.
void run_open_helper(Sys& sys, Receiver<HelperJob> jobs, Sender<Opened> opened_tx);

// Runs a metadata job and replies, unless a Cancel took its ticket first.
void run_meta_job(helper_job::Meta job);

// Runs an open that may wait for ever on a detached thread of its own, so
// that it holds neither the driver thread nor a pooled helper; its result
// comes back on `opened_tx` like a helper's.
void start_waiting_open(Sys& sys, helper_job::Open job, Sender<Opened> opened_tx);

}  // namespace kestrelio::darwin_aio
