#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>

#include "completion.hpp"
#include "kestrelio/op.hpp"
#include "owner.hpp"
#include "py_ref.hpp"
#include "kestrelio/driver.hpp"

namespace kestrelio::py {

struct LoopBridge;

// What every submitting function needs before its first operation: the
// driver, the running loop's bridge (watched by the loop when the driver
// runs on the loop's own thread) and a new future of that loop.
struct Submission {
  std::shared_ptr<Driver> driver;
  std::shared_ptr<LoopBridge> bridge;
  PyRef future;

  // False with an exception set; nothing has been submitted then.
  bool begin();
  // After the operations went to the driver: on the loop backend, asks for
  // the iteration's flush that hands them to the kernel.
  void submitted();
};

// Submits one operation whose answer settles a new KernelFuture of the running
// loop; returns that future (op_ids set to the one id), or null with an
// exception set, in which case nothing was submitted and everything given has
// been released. Interpreter lock held.
PyObject* submit(Op op, CompletionKind kind, std::optional<Owner> owner);

// Lends the memory of `data` to a write without copying it: a Raw payload and
// the Owner that keeps it in place. False with an exception set.
bool write_payload(PyObject* data, Payload* payload, Owner* owner);

// A bytes object of `len` bytes for a backend to fill, or null with
// MemoryError set. Its contents are undefined until filled.
PyObject* new_read_target(std::uint64_t len);

// The "op_ids" attribute name, interned.
PyObject* op_ids_name();

}  // namespace kestrelio::py
