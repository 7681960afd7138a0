#pragma once

#include <atomic>
#include <memory>
#include <optional>

#include "compio_backend/state.hpp"
#include "kestrelio/msg.hpp"
#include "runtime/runtime.hpp"

namespace kestrelio::compio_backend {

// What a runtime keeps between operations: the file table, a cancellation
// flag per operation whose task has not finished, and the handle counter.
// Every Submit becomes a detached task on the runtime; a Cancel sets a flag.
// Used only on the runtime's thread.
class OpBook {
 public:
  // Handle numbers come from `counter` when given (shared by several books,
  // so a number names one file in the whole process), else from 1 up.
  explicit OpBook(std::shared_ptr<std::atomic<HandleId>> counter = nullptr);

  // Takes a handle number for Open, ReadFile and Adopt on arrival, whatever
  // their outcome, and spawns the operation's task on `rt`.
  void spawn(runtime::Runtime& rt, msg::Submit submit);
  // Sets the flag of `id`; false (and nothing changes) when no task of this
  // book has that id.
  bool cancel(OpId id);

  const Files& files() const noexcept { return files_; }
  std::size_t pending() const noexcept { return cancel_flags_->size(); }

 private:
  HandleId take_handle() noexcept;

  Files files_;
  CancelFlags cancel_flags_;
  HandleId next_handle_ = 1;
  std::shared_ptr<std::atomic<HandleId>> counter_;
};

}  // namespace kestrelio::compio_backend
