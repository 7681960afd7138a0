#pragma once

#include <Python.h>

// The module's Python-visible functions, one group per file.
namespace kestrelio::py {

// single_ops.cpp
PyObject* py_open(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_read(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_readinto(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_write(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_close(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_sync(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_set_len(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_size(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
// read_group.cpp
PyObject* py_read_parallel(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
// many_ops.cpp
PyObject* py_read_many(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_write_many(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
// whole_file.cpp
PyObject* py_read_to_end(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_read_file(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_write_file(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
// cancel.cpp
PyObject* py_cancel_ops(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
// probes.cpp
PyObject* py_probe_ffi(PyObject*, PyObject*);
PyObject* py_probe_resolved_future(PyObject*, PyObject*);
PyObject* py_probe_nop(PyObject*, PyObject*);

}  // namespace kestrelio::py
