#pragma once

#include <Python.h>

#include <optional>

#include "kestrelio/reply.hpp"
#include "owner.hpp"
#include "pending_release.hpp"

namespace kestrelio::py {

// How a reply becomes the future's value.
struct CompletionKind {
  enum class Tag { Plain, FilledBytes, ByteCount, HandleCallback, WriteCount, TextNames };

  static CompletionKind plain() { return CompletionKind{Tag::Plain, {}}; }
  // `bytes_object` is the new bytes the operation reads into (stolen).
  static CompletionKind filled_bytes(PyObject* bytes_object) {
    return CompletionKind{Tag::FilledBytes, AnyThreadRef::steal(bytes_object)};
  }
  static CompletionKind byte_count() { return CompletionKind{Tag::ByteCount, {}}; }
  // `callable` may be null (stolen otherwise).
  static CompletionKind handle_callback(PyObject* callable) {
    return CompletionKind{Tag::HandleCallback, AnyThreadRef::steal(callable)};
  }
  static CompletionKind write_count() { return CompletionKind{Tag::WriteCount, {}}; }
  // A listing whose names are decoded as os.fsdecode does.
  static CompletionKind text_names() { return CompletionKind{Tag::TextNames, {}}; }

  Tag tag;
  AnyThreadRef payload;  // the bytes object, or the callable
};

// A finished operation waiting for its loop's drain.
struct Completion {
  CompletionKind kind;
  OpResult result;
  AnyThreadRef future;
  std::optional<Owner> owner;
};

// Settles one completion's future on the loop thread and releases what it
// holds. Interpreter lock held; never leaves an exception set.
void settle(Completion c);

}  // namespace kestrelio::py
