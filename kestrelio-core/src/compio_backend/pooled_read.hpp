#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "runtime/fs.hpp"
#include "runtime/unique_fd.hpp"

namespace kestrelio::compio_backend {

// A whole-file read done by one pool job: stat, open, fstat, one read
// without waiting for the disk (RWF_NOWAIT), close. For an event loop's
// runtime that reads many small files at once: the kernel's work of each
// (path walk, copy, close) then runs beside the loop's thread instead of
// inside its io_uring_enter, and costs it one hand-off.
struct PooledRead {
  // The whole file, when the job could read all of it.
  std::optional<std::vector<std::uint8_t>> bytes;
  // Otherwise the file the job opened and left for the ring (larger than the
  // limit, pages not all cached, a size that cannot be trusted), its
  // descriptor blocking as an open through the ring would have made it.
  runtime::UniqueFd fd;
  runtime::SizeHint hint;
  // Neither: the job left the path alone (not a regular file, or an error,
  // which the ring's own open then meets and reports as it always has).
};

// The job's body, run on a pool thread.
PooledRead read_whole_on_pool(const std::string& path, std::uint64_t inline_max);

}  // namespace kestrelio::compio_backend
