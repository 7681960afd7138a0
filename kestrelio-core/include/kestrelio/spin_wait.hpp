#pragma once

#include <chrono>

namespace kestrelio {

// How long a thread about to sleep first watches for work: about what it
// costs to wake a sleeping thread, so a burst of messages is taken without a
// system call on either side, and an idle thread burns no more than this.
inline constexpr std::chrono::microseconds kSpinBeforeSleep{50};

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// True as soon as `ready()` is; false once `limit` has passed without it.
template <class Ready>
bool spin_until(Ready ready, std::chrono::microseconds limit = kSpinBeforeSleep) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    for (int i = 0; i < 64; ++i) {
      if (ready()) return true;
      cpu_relax();
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
  }
}

}  // namespace kestrelio
