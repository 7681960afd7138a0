#pragma once

#include "darwin_aio/open.hpp"
#include "kestrelio/channel.hpp"

namespace kestrelio::darwin_aio {

// Body of one "kestrelio-open" thread: performs opens and closes that might
// block, until the helper-job channel disconnects.
void run_open_helper(Sys& sys, Receiver<HelperJob> jobs, Sender<Opened> opened_tx);

// Runs a metadata job and replies, unless a Cancel took its ticket first.
void run_meta_job(helper_job::Meta job);

}  // namespace kestrelio::darwin_aio
