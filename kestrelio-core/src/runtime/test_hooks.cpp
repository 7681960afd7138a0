#include "runtime/test_hooks.hpp"

#include <atomic>

namespace kestrelio::runtime::testing {

namespace {
std::atomic<int> g_ring_setup_failure{0};
}

void set_ring_setup_failure(int errno_value) noexcept { g_ring_setup_failure.store(errno_value); }
int ring_setup_failure() noexcept { return g_ring_setup_failure.load(); }

}  // namespace kestrelio::runtime::testing
