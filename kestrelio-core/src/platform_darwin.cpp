#include <pthread.h>
#include <string.h>
#include <sys/sysctl.h>
#include <unistd.h>

#include "platform.hpp"

namespace kestrelio::platform {

void set_current_thread_name(const char* name) noexcept { pthread_setname_np(name); }

long online_processors() noexcept {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n < 0 ? 0 : n;
}

std::optional<std::int32_t> aio_process_max() noexcept {
  std::int32_t value = 0;
  size_t len = sizeof value;
  if (sysctlbyname("kern.aioprocmax", &value, &len, nullptr, 0) != 0) return std::nullopt;
  return value;
}

bool aio_cancel_strands_followers() noexcept { return false; }

bool aio_survives_fork() noexcept { return true; }

bool aio_keeps_descriptor_order() noexcept { return false; }

std::string error_description(int errno_value) {
  char buf[256];
  if (strerror_r(errno_value, buf, sizeof buf) != 0) return "Unknown error";
  return buf;
}

}  // namespace kestrelio::platform
