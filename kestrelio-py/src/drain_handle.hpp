#pragma once

#include <Python.h>

#include <memory>

namespace kestrelio::py {

struct LoopBridge;

// A new DrainHandle instance that drains `bridge` when the loop calls it, or
// null with an exception set. Only the bridge makes these; the type refuses
// construction from Python.
PyObject* new_drain_handle(const std::shared_ptr<LoopBridge>& bridge);

}  // namespace kestrelio::py
