#pragma once

namespace kestrelio::runtime::testing {

// Makes every following io_uring setup fail with this errno (0 restores the
// real setup). Lets tests see how a runtime that cannot be built is reported.
void set_ring_setup_failure(int errno_value) noexcept;
int ring_setup_failure() noexcept;

// Makes the opcode probe of every following io_uring setup report `opcode`
// (an IORING_OP_* value) as missing, so its operations take the pool's path;
// -1 shows every opcode again.
void hide_ring_opcode(int opcode) noexcept;
bool ring_opcode_hidden(int opcode) noexcept;

}  // namespace kestrelio::runtime::testing
