#pragma once

#include <Python.h>

#include <memory>
#include <optional>

#include "kestrelio/reply.hpp"
#include "owner.hpp"
#include "pending_release.hpp"

namespace kestrelio::py {

struct ManyAnswers;  // many_ops.hpp

// How a reply becomes the future's value.
struct CompletionKind {
  enum class Tag { Plain, FilledBytes, ByteCount, HandleCallback, WriteCount, TextNames, ReadList, CountList };

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
  // A batch of reads into the bytes objects of `list` (stolen), answered as that list.
  static CompletionKind read_list(PyObject* list, std::shared_ptr<ManyAnswers> answers) {
    return CompletionKind{Tag::ReadList, AnyThreadRef::steal(list), std::move(answers)};
  }
  // A batch of writes, answered as the list of their byte counts.
  static CompletionKind count_list(std::shared_ptr<ManyAnswers> answers) {
    return CompletionKind{Tag::CountList, {}, std::move(answers)};
  }

  Tag tag;
  AnyThreadRef payload;  // the bytes object, the callable, or the list
  std::shared_ptr<ManyAnswers> many{};  // a batch's answers
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

// Errors raised while the loop settles futures or schedules its callbacks are
// dropped (the future, or the caller, has its own answer), except those that
// are no Exception: KeyboardInterrupt, SystemExit. The first of those is kept
// and raised again when the drain returns to the loop, so Ctrl-C stops the
// loop as asyncio's own callbacks let it. Interpreter lock held.
void keep_interrupt_or_clear();
// Raises the kept interrupt, if any; true when it did.
bool raise_kept_interrupt();

}  // namespace kestrelio::py
