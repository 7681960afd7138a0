#include <pthread.h>
#include <string.h>
#include <unistd.h>

#include "platform.hpp"

namespace kestrelio::platform {

void set_current_thread_name(const char* name) noexcept {
  char buf[16];
  strncpy(buf, name, sizeof buf - 1);
  buf[sizeof buf - 1] = '\0';
  pthread_setname_np(pthread_self(), buf);
}

long online_processors() noexcept {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n < 0 ? 0 : n;
}

std::optional<std::int32_t> aio_process_max() noexcept { return std::nullopt; }

bool aio_cancel_strands_followers() noexcept {
#if defined(__GLIBC__)
  return true;
#else
  return false;
#endif
}

bool aio_keeps_descriptor_order() noexcept {
#if defined(__GLIBC__)
  return true;
#else
  return false;
#endif
}

bool aio_survives_fork() noexcept {
#if defined(__GLIBC__)
  return false;
#else
  return true;
#endif
}

std::string error_description(int errno_value) {
  char buf[256];
  // glibc's strerror_r returns the text, which may or may not be in buf.
  const char* text = strerror_r(errno_value, buf, sizeof buf);
  return text ? std::string(text) : std::string("Unknown error");
}

}  // namespace kestrelio::platform
