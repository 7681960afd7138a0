#pragma once

#include <variant>

#include "kestrelio/op.hpp"
#include "kestrelio/reply_fn.hpp"

namespace kestrelio {

namespace msg {

// Run `op`, then call `reply` with its result.
struct Submit {
  Op op;
  ReplyFn reply;
  OpId id;
};
// Abort the operation with this id if it has not finished.
struct Cancel {
  OpId id;
};

}  // namespace msg

// What the Driver's channel carries to the backend thread. There is no
// shutdown message: a backend ends when every sender has been dropped.
using Msg = std::variant<msg::Submit, msg::Cancel>;

}  // namespace kestrelio
