#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrelio::py {

// Binds METH_FASTCALL | METH_KEYWORDS arguments to the parameter names, by
// position or keyword. `out` receives borrowed references (null for optional
// parameters not given). Raises TypeError in the interpreter's wording for
// missing, surplus, duplicate or unknown arguments.
struct Signature {
  const char* function;            // "read", "FastPath.read"
  const char* const* names;        // parameter names, in order
  std::size_t count;               // number of parameters
  std::size_t required;            // the first `required` are mandatory
};
bool bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// One converter per argument kind. Each returns false with an exception set.
// A TypeError raised while converting is replaced by a TypeError whose text is
// "argument '<name>': " plus the original text, keeping the original's cause.
bool to_u64(PyObject* o, const char* name, std::uint64_t* out);
bool to_i32(PyObject* o, const char* name, std::int32_t* out);
// Only bool objects, and NumPy booleans through their __bool__.
bool to_flag(PyObject* o, const char* name, bool* out);
// str (file-system encoding), bytes, or any os.PathLike.
bool to_path(PyObject* o, const char* name, std::string* out);

// Wraps a pending TypeError in the "argument '<name>': " form; other
// exceptions are left as they are. Always returns false.
bool prefix_type_error(const char* name);

// Checks that a view filled with PyBUF_FULL_RO describes plain bytes: raises
// BufferError "shape is null", "strides is null" or "buffer contents are not
// compatible with u8". Does not release the view.
bool check_byte_view(const Py_buffer& view);

}  // namespace kestrelio::py
