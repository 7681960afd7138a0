#include "compio_backend/run.hpp"

#include <cerrno>
#include <cstdio>
#include <new>
#include <optional>
#include <stdexcept>

#include "compio_backend/execute.hpp"
#include "compio_backend/read.hpp"
#include "compio_backend/state.hpp"
#include "runtime/recv.hpp"
#include "runtime/runtime.hpp"

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

runtime::Task<void> run(Receiver<Msg> msgs) {
  auto files = std::make_shared<FileTable>();
  auto cancel_flags = std::make_shared<CancelFlags::element_type>();
  HandleId next_handle = 1;
  runtime::Runtime& rt = runtime::Runtime::current();
  runtime::AsyncReceiver<Msg> rx(std::move(msgs));

  while (std::optional<Msg> m = co_await rx.recv()) {
    if (auto* cancel = std::get_if<msg::Cancel>(&*m)) {
      auto it = cancel_flags->find(cancel->id);
      if (it != cancel_flags->end()) *it->second = true;
      continue;
    }
    auto& submit = std::get<msg::Submit>(*m);
    std::optional<HandleId> new_handle;
    // Taken on arrival, whatever the open's outcome will be.
    if (std::holds_alternative<op::Open>(submit.op) || std::holds_alternative<op::ReadFile>(submit.op) ||
        std::holds_alternative<op::Adopt>(submit.op)) {
      new_handle = next_handle++;
    }
    auto flag = std::make_shared<bool>(false);
    (*cancel_flags)[submit.id] = flag;
    rt.spawn(operation_task(TaskRecord{new_handle, std::move(submit.op), files, std::move(flag), cancel_flags,
                                       std::move(submit.reply), submit.id}));
  }
}

}  // namespace kestrelio::compio_backend
