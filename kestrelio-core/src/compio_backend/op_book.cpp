#include "compio_backend/op_book.hpp"

#include <cerrno>
#include <cstdio>
#include <new>
#include <stdexcept>

#include "compio_backend/execute.hpp"
#include "compio_backend/read.hpp"

namespace kestrelio::compio_backend {

namespace {

// Everything one operation task needs, handed whole to the runtime.
struct TaskRecord {
  std::optional<HandleId> new_handle;
  Op op;
  Files files;
  CancelFlag cancelled;
  CancelFlags cancel_flags;
  ReplyFn reply;
  OpId id;
};

runtime::Task<void> operation_task(TaskRecord rec) {
  std::optional<OpResult> result;
  try {
    result.emplace(co_await execute(rec.new_handle, std::move(rec.op), rec.files, rec.cancelled));
  } catch (const InvariantFault& fault) {
    std::fprintf(stderr, "kestrelio: %s\n", fault.message);
  } catch (const std::bad_alloc&) {
    // A buffer sized from the request or the file (a huge len, a huge file)
    // is a failure of that operation, not of the thread.
    result.emplace(IoError::os(ENOMEM));
  } catch (const std::length_error&) {
    // The same for a size beyond what a vector can ever hold.
    result.emplace(IoError::custom(IoErrorKind::InvalidInput, kReadTooLarge));
  }
  // Only our own entry: a later Submit reusing the id may have replaced it.
  auto it = rec.cancel_flags->find(rec.id);
  if (it != rec.cancel_flags->end() && it->second == rec.cancelled) rec.cancel_flags->erase(it);
  if (result) std::move(rec.reply)(std::move(*result));
}

}  // namespace

OpBook::OpBook(std::shared_ptr<std::atomic<HandleId>> counter)
    : files_(std::make_shared<FileTable>()),
      cancel_flags_(std::make_shared<CancelFlags::element_type>()),
      counter_(std::move(counter)) {}

HandleId OpBook::take_handle() noexcept {
  if (counter_) return counter_->fetch_add(1, std::memory_order_relaxed);
  return next_handle_++;
}

void OpBook::spawn(runtime::Runtime& rt, msg::Submit submit) {
  std::optional<HandleId> new_handle;
  if (std::holds_alternative<op::Open>(submit.op) || std::holds_alternative<op::ReadFile>(submit.op) ||
      std::holds_alternative<op::Adopt>(submit.op)) {
    new_handle = take_handle();
  }
  auto flag = std::make_shared<bool>(false);
  (*cancel_flags_)[submit.id] = flag;
  rt.spawn(operation_task(TaskRecord{new_handle, std::move(submit.op), files_, std::move(flag), cancel_flags_,
                                     std::move(submit.reply), submit.id}));
}

bool OpBook::cancel(OpId id) {
  auto it = cancel_flags_->find(id);
  if (it == cancel_flags_->end()) return false;
  *it->second = true;
  return true;
}

}  // namespace kestrelio::compio_backend
