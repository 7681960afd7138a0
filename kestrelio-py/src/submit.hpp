#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "completion.hpp"
#include "kestrelio/op.hpp"
#include "owner.hpp"

namespace kestrelio::py {

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
