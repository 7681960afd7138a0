#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "kestrelio/driver.hpp"

namespace kestrelio::py {

struct LoopBridge;

// Process-wide state, created on first use and never torn down (backend
// threads may still reach bridges while the process exits).
// Lock order: driver_slot before bridges, never the other way.
struct Globals {
  struct Bridges {
    std::mutex mutex;
    std::map<std::uintptr_t, std::shared_ptr<LoopBridge>> map;
  } bridges;
  struct DriverSlot {
    std::mutex mutex;
    std::optional<std::pair<std::uint32_t, std::shared_ptr<Driver>>> slot;
  } driver_slot;
};

Globals& globals();

// Cleared by shutdown(); after that no loop is woken for finished operations.
extern std::atomic<bool> DOORBELLS_ENABLED;

// The process-wide driver, created on first use (and afresh in a forked
// child), or null with a Python exception set. Interpreter lock held.
std::shared_ptr<Driver> driver();
// Whether this process was forked from one that had used the driver (its
// futures may then still be pending here, for operations this process
// never runs), and its id, read without a system call.
bool in_forked_child() noexcept;
std::uint32_t current_process_id() noexcept;

PyObject* py_backend_name(PyObject* self, PyObject* unused);
// set_default_backend(value): the backend the next driver of this process
// runs when KESTRELIO_BACKEND is unset. True when taken, False once the
// driver exists.
PyObject* py_set_default_backend(PyObject* self, PyObject* value);
PyObject* py_shutdown(PyObject* self, PyObject* unused);

}  // namespace kestrelio::py
