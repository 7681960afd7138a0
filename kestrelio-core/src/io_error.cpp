#include "kestrelio/io_error.hpp"

#include <cerrno>

#include "platform.hpp"

namespace kestrelio {

IoError IoError::last_os() noexcept { return os(errno); }

IoErrorKind IoError::kind() const noexcept {
  if (!is_os()) return kind_;
  switch (errno_) {
    case EINTR:
      return IoErrorKind::Interrupted;
    case EPIPE:
      return IoErrorKind::BrokenPipe;
    case EINVAL:
      return IoErrorKind::InvalidInput;
    default:
      return IoErrorKind::Other;
  }
}

const char* kind_description(IoErrorKind kind) noexcept {
  switch (kind) {
    case IoErrorKind::BrokenPipe:
      return "broken pipe";
    case IoErrorKind::InvalidInput:
      return "invalid input parameter";
    case IoErrorKind::WriteZero:
      return "write zero";
    case IoErrorKind::Interrupted:
      return "operation interrupted";
    case IoErrorKind::Other:
      break;
  }
  return "other error";
}

std::string IoError::to_string() const {
  if (is_os()) {
    return platform::error_description(errno_) + " (os error " + std::to_string(errno_) + ")";
  }
  return message_ ? std::string(message_) : std::string(kind_description(kind_));
}

}  // namespace kestrelio
