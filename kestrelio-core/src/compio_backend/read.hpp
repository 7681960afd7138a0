#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "compio_backend/state.hpp"
#include "kestrelio/expected.hpp"
#include "runtime/file.hpp"
#include "runtime/task.hpp"

namespace kestrelio::compio_backend {

// An owned read whose length no vector can hold; the same text as the
// darwin-aio backend's, so both backends answer it alike.
inline constexpr const char* kReadTooLarge = "read length exceeds what can be allocated";

// A vector with capacity `len` for an owned read, or the error to reply with:
// ENOMEM when memory runs out, InvalidInput kReadTooLarge when no allocation
// could ever hold `len` bytes.
Expected<std::vector<std::uint8_t>> owned_read_buffer(std::size_t len);

// A read target over caller-owned memory (a Raw ReadBuf). Each read is lent
// the unfilled part; it never allocates or frees.
struct RawBufMut {
  std::uint8_t* ptr;
  std::size_t capacity;
  std::size_t filled = 0;
};

// Reads until `len` bytes are placed or end of file, looking at `cancelled`
// before every read (and before the length test, so a flag set during the
// last read still wins).
runtime::Task<Expected<RawBufMut>> read_up_to(const runtime::File& file, std::uint64_t pos, RawBufMut target,
                                              std::size_t len, CancelFlag cancelled);
// The same into a vector of `len` bytes; the result is cut to what was read.
runtime::Task<Expected<std::vector<std::uint8_t>>> read_up_to(const runtime::File& file, std::uint64_t pos,
                                                              std::vector<std::uint8_t> target, std::size_t len,
                                                              CancelFlag cancelled);

// One kernel read of read_to_end asks for at most this much, so a long
// whole-file read looks at its flag and lets the other tasks run between
// pieces of bounded cost.
inline constexpr std::size_t kReadToEndStep = std::size_t{4} << 20;

// Reads from `pos` to end of file (a read that returns 0, whatever fstat
// said), starting with room for `capacity` bytes: callers pass the expected
// size plus one, so the final empty read needs no growth. Fails with
// ECANCELED as soon as `cancelled` is seen set between two reads; a file
// without end is read until then, with no cap on its size. With `known_end`
// (where a regular file ended when it was sized), a read that stops short of
// its length exactly there has met the end and the empty read is skipped; a
// file that has grown since fills the read and is read on as before.
runtime::Task<Expected<std::vector<std::uint8_t>>> read_to_end(const runtime::File& file, std::uint64_t pos,
                                                               std::size_t capacity, CancelFlag cancelled,
                                                               std::optional<std::uint64_t> known_end = std::nullopt);

}  // namespace kestrelio::compio_backend
