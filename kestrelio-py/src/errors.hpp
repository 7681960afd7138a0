#pragma once

#include <Python.h>

#include "kestrelio/io_error.hpp"

namespace kestrelio::py {

// A new exception instance (not raised) for an operation's failure: an OS
// error becomes OSError(errno, text), so Python picks the errno's subclass;
// a system-made error becomes OSError(text). Null with an exception set if
// building it failed.
PyObject* io_err_to_pyerr(IoError err);

// Raises the mapped exception; always returns null.
PyObject* raise_io_error(IoError err);

// Raises SystemError for a broken internal invariant, so it is never taken
// for an I/O error; always returns null.
PyObject* internal_fault(const char* what);

}  // namespace kestrelio::py
