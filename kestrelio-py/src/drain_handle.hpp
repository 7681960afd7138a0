#pragma once

#include <Python.h>

#include <memory>

namespace kestrelio::py {

struct LoopBridge;

// A new DrainHandle instance that drains `bridge` when the loop calls it, or
// null with an exception set. Only the bridge makes these; the type refuses
// construction from Python.
PyObject* new_drain_handle(const std::shared_ptr<LoopBridge>& bridge);

// What a handle does when called: drain the doorbell's queue, or drive the
// calling thread's loop runtime (loop_drive.hpp) for one of its causes.
enum class HandleRole { Drain, Flush, Completions, Wake };
PyObject* new_drain_handle(const std::shared_ptr<LoopBridge>& bridge, HandleRole role);

}  // namespace kestrelio::py
