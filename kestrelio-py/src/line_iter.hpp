#pragma once

#include <Python.h>

namespace kestrelio::py {

// The type `LineIter`, created on first use; null with an exception set on failure.
PyTypeObject* line_iter_type();

}  // namespace kestrelio::py
