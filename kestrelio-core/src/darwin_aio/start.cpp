#include "darwin_aio/start.hpp"

#include "thread.hpp"

namespace kestrelio::darwin_aio {

unsigned open_helper_count(long processors) noexcept {
  if (processors <= 0) return 2;
  long n = processors / 3;
  if (n < 2) n = 2;
  if (n > 4) n = 4;
  return static_cast<unsigned>(n);
}

// Placeholder until the backend lands: answers Nop, refuses everything else.
std::optional<IoError> start(Receiver<Msg> msgs, const DriverOptions&) {
  return spawn_detached("kestrelio-aio", [msgs = std::move(msgs)]() mutable {
    while (std::optional<Msg> m = msgs.recv()) {
      if (auto* s = std::get_if<msg::Submit>(&*m)) {
        if (std::holds_alternative<op::Nop>(s->op)) {
          std::move(s->reply)(reply::Unit{});
        } else {
          std::move(s->reply)(IoError::custom(IoErrorKind::InvalidInput, kUnknownHandle));
        }
      }
    }
  });
}

}  // namespace kestrelio::darwin_aio
