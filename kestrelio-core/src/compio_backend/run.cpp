#include "compio_backend/run.hpp"

#include <optional>

#include "compio_backend/op_book.hpp"
#include "runtime/recv.hpp"
#include "runtime/runtime.hpp"

namespace kestrelio::compio_backend {

runtime::Task<void> run(Receiver<Msg> msgs) {
  OpBook book;
  runtime::Runtime& rt = runtime::Runtime::current();
  runtime::AsyncReceiver<Msg> rx(std::move(msgs));

  while (std::optional<Msg> m = co_await rx.recv()) {
    if (auto* cancel = std::get_if<msg::Cancel>(&*m)) {
      if (book.cancel(cancel->id)) rt.abort_cancelled();
      continue;
    }
    book.spawn(rt, std::move(std::get<msg::Submit>(*m)));
  }
}

}  // namespace kestrelio::compio_backend
