#pragma once

#include <cstdint>
#include <string>

namespace kestrelio {

// The kind of an error the system makes itself; an OS error's kind follows
// from its errno (see IoError::kind).
enum class IoErrorKind : std::uint8_t {
  Other,
  BrokenPipe,
  InvalidInput,
  WriteZero,
  Interrupted,
};

// Fixed messages of the errors the core and both backends make.
inline constexpr const char* kDriverGone = "kestrelio driver thread is gone";
inline constexpr const char* kStartupExited = "compio driver thread exited during startup";
inline constexpr const char* kUnknownHandle = "unknown or closed kestrelio handle";

// The failure value of every operation: an operating-system error carrying
// its errno, or a system-made error carrying a kind and a static message.
class IoError {
 public:
  static IoError os(int errno_value) noexcept { return IoError(errno_value, IoErrorKind::Other, nullptr); }
  static IoError custom(IoErrorKind kind, const char* message) noexcept { return IoError(0, kind, message); }
  // The current errno, for the line right after a failed system call.
  static IoError last_os() noexcept;

  bool is_os() const noexcept { return errno_ != 0; }
  int raw_os_error() const noexcept { return errno_; }
  IoErrorKind kind() const noexcept;
  // Null for an OS error, and for a custom error made with no message.
  const char* message() const noexcept { return message_; }
  // "No such file or directory (os error 2)", or the custom message, or the
  // kind's standard description.
  std::string to_string() const;

  friend bool operator==(const IoError& a, const IoError& b) noexcept {
    return a.errno_ == b.errno_ && a.kind_ == b.kind_ &&
           (a.message_ == b.message_ || (a.message_ && b.message_ && std::string(a.message_) == b.message_));
  }

 private:
  IoError(int e, IoErrorKind k, const char* m) noexcept : errno_(e), kind_(k), message_(m) {}
  int errno_;
  IoErrorKind kind_;
  const char* message_;
};

const char* kind_description(IoErrorKind kind) noexcept;

}  // namespace kestrelio
