#pragma once

#include "kestrelio/meta.hpp"
#include "kestrelio/reply.hpp"

namespace kestrelio {

inline constexpr const char* kMetaPathNul = "path contains NUL";

// Performs one metadata operation with plain system calls on the calling
// thread, which may block: a helper or pool thread. Answers as the operation
// would: Stat, StatVfs, Entries, Bytes (ReadLink), Size (SendFile) or Unit.
OpResult run_meta_blocking(const MetaOp& op);

// The directory a relative path of `t` starts from, as the *at calls take it.
int dir_of(const meta::Target& t) noexcept;

// InvalidInput kMetaPathNul when a path of the operation holds a NUL.
std::optional<IoError> check_paths(const MetaOp& op);

}  // namespace kestrelio
