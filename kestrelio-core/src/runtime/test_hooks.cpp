#include "runtime/test_hooks.hpp"

#include <atomic>
#include <cstdint>

namespace kestrelio::runtime::testing {

namespace {
std::atomic<int> g_ring_setup_failure{0};
std::atomic<std::uint64_t> g_hidden_opcodes{0};
}

void set_ring_setup_failure(int errno_value) noexcept { g_ring_setup_failure.store(errno_value); }
int ring_setup_failure() noexcept { return g_ring_setup_failure.load(); }


void hide_ring_opcode(int opcode) noexcept {
  if (opcode < 0) {
    g_hidden_opcodes.store(0);
  } else if (opcode < 64) {
    g_hidden_opcodes.fetch_or(std::uint64_t{1} << opcode);
  }
}
bool ring_opcode_hidden(int opcode) noexcept {
  return opcode >= 0 && opcode < 64 && (g_hidden_opcodes.load() & (std::uint64_t{1} << opcode)) != 0;
}

}  // namespace kestrelio::runtime::testing
