#pragma once

namespace kestrelio::runtime::testing {

// Makes every following io_uring setup fail with this errno (0 restores the
// real setup). Lets tests see how a runtime that cannot be built is reported.
void set_ring_setup_failure(int errno_value) noexcept;
int ring_setup_failure() noexcept;

}  // namespace kestrelio::runtime::testing
