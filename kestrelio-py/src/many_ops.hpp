#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

#include "completion.hpp"
#include "owner.hpp"

namespace kestrelio::py {

// Most operations one read_many or write_many call takes.
inline constexpr std::size_t kManyMax = 1024;

// What the operations of one read_many or write_many call answered: the byte
// count of each, and for write_many the lent buffers, released with the
// completion under the interpreter lock.
struct ManyAnswers {
  std::vector<std::size_t> counts;
  std::vector<Owner> owners;
};

// The list a batch completion answers: the bytes read (cut to their counts)
// or the counts written. A new reference, or null with an exception set.
// Interpreter lock held.
PyObject* many_value(CompletionKind& kind);

}  // namespace kestrelio::py
