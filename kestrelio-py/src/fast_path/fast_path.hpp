#pragma once

#include <Python.h>

namespace kestrelio::py {

// The ready type object of FastPath (borrowed), or null with an exception set.
PyTypeObject* fast_path_type();

}  // namespace kestrelio::py
