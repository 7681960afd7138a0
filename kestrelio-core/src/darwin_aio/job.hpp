#pragma once

#include <aio.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "darwin_aio/unique_fd.hpp"
#include "kestrelio/op.hpp"
#include "kestrelio/reply_fn.hpp"

namespace kestrelio::darwin_aio {

inline constexpr const char* kWriteZero = "failed to write whole buffer";
inline constexpr const char* kReadTooLarge = "read length exceeds what can be allocated";

// Where a read lands: a vector the job owns (its size is the capacity the
// kernel may fill), or caller memory of `raw_len` bytes.
struct JobBuf {
  static JobBuf owned(std::vector<std::uint8_t> v) { return JobBuf{std::move(v), nullptr, 0, true}; }
  static JobBuf raw(std::uint8_t* ptr, std::size_t len) { return JobBuf{{}, ptr, len, false}; }

  std::uint8_t* data() noexcept { return is_owned ? owned_bytes.data() : raw_ptr; }
  std::size_t limit() const noexcept { return is_owned ? owned_bytes.size() : raw_len; }

  std::vector<std::uint8_t> owned_bytes;
  std::uint8_t* raw_ptr;
  std::size_t raw_len;
  bool is_owned;
};

namespace job_kind {

struct Read {
  std::optional<HandleId> handle;  // none for the whole-file read of ReadFile
  bool to_end;                     // finish at end of file rather than after `len`
  std::uint64_t len;               // the Exact length; unused when to_end
  JobBuf buf;
  std::uint64_t pos;
  std::uint64_t done = 0;
  int fd;
  UniqueFd close_after;  // set for whole-file jobs: their descriptor, closed when the job finishes
};

struct Write {
  std::optional<HandleId> handle;  // none for the write of WriteFile
  Payload data;
  std::uint64_t pos;
  std::uint64_t done = 0;
  int fd;
  UniqueFd close_after;
  bool append;
};

struct Sync {
  HandleId handle;
  int fd;
};

}  // namespace job_kind

// What to transfer, with its progress.
using JobKind = std::variant<job_kind::Read, job_kind::Write, job_kind::Sync>;

// One operation's I/O in progress.
struct Job {
  JobKind kind;
  ReplyFn reply;
  OpId op_id;
  bool cancelled = false;  // a Cancel arrived while it was in flight
};

// One request in the kernel. The control block is on the heap so that its
// address stays fixed while `inflight` reorders.
struct Inflight {
  Job job;
  std::unique_ptr<aiocb> cb;
};

// The result of applying one transfer: nullopt means Continue (more I/O
// needed), a value means Done with that result.
using StepOutcome = std::optional<OpResult>;

// Applies a transfer of `n` bytes to the job's progress; may enlarge an owned
// read buffer and call fstat.
StepOutcome step(Sys& sys, JobKind& kind, std::uint64_t n);

// The handle a finished job must be accounted to, if any.
std::optional<HandleId> job_handle(const JobKind& kind) noexcept;

// Fills a zeroed control block for the job's next request.
void fill_control_block(JobKind& kind, aiocb& cb) noexcept;

}  // namespace kestrelio::darwin_aio
