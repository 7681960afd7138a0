#pragma once

// The few facts that differ between the platforms we build on. One
// implementation file per platform (platform_linux.cpp, platform_darwin.cpp).

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

#include "kestrelio/meta.hpp"

namespace kestrelio::platform {

// Names the calling thread (at most 15 visible characters on Linux).
void set_current_thread_name(const char* name) noexcept;

// Online processors, or 0 when the system cannot tell.
long online_processors() noexcept;

// The per-process limit on outstanding POSIX AIO requests, when the system
// publishes one ("kern.aioprocmax" on macOS; Linux has no such setting).
std::optional<std::int32_t> aio_process_max() noexcept;

// Whether aio_cancel may strand other requests on the same descriptor. glibc
// queues a descriptor's requests behind one another; cancelling the first of
// them while it still waits for a worker thread marks the next one runnable
// without handing it to any worker, so it stays EINPROGRESS for ever.
bool aio_cancel_strands_followers() noexcept;

// The system's description of an errno value.
std::string error_description(int errno_value);

// The fields of a stat(2) result; the time fields are named differently per system.
StatInfo stat_info(const struct stat& st) noexcept;

// Copies up to `count` bytes from `in_fd` to `out_fd` with sendfile(2), from
// `*offset` (left in place) or, with no offset, from and advancing the input's
// own position. The count sent, or -1 with errno set.
long long send_file(int out_fd, int in_fd, std::uint64_t* offset, std::uint64_t count) noexcept;

}  // namespace kestrelio::platform
