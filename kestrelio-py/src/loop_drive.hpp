#pragma once

#include <Python.h>

#include <memory>

#include "kestrelio/loop_ring.hpp"

namespace kestrelio::py {

struct LoopBridge;

// The event loop's side of the loop backend ("loop-io-uring"), where each
// thread runs its operations on a runtime of its own (kestrelio/loop_ring.hpp).
//
// Before a submission: makes sure the loop watches this thread's runtime
// (its ring's fd and its wake fd, through add_reader). False with an
// exception set when the runtime cannot be made or the loop refuses.
bool watch_loop_runtime(const std::shared_ptr<LoopBridge>& bridge);

// After submissions: asks the loop, once per iteration, to call the bridge's
// flush handle soon (call_soon), which runs the new operations and submits
// them all in one system call. Never raises.
void schedule_flush(LoopBridge& bridge, bool again = false);

// The body of the loop backend's handles: drives the thread's runtime, then
// settles on the spot what it completed for `bridge` (null once the bridge
// is gone: its completions, if any, take the doorbell's way).
void drive_loop_runtime(const std::shared_ptr<LoopBridge>& bridge, loop_ring::DriveCause cause);

}  // namespace kestrelio::py
