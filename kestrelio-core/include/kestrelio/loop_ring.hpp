#pragma once

#include <cstddef>
#include <cstdint>

#include "kestrelio/expected.hpp"

// The loop backend ("loop-io-uring"): every thread that submits owns a
// completion runtime of its own, with its own ring. Operations are spawned
// there by Driver::submit and run only when the thread drives the runtime:
// an event loop schedules one drive after the submissions of an iteration,
// and watches the runtime's two descriptors (the ring's, readable while
// completions wait; the cross-thread wake's, for pool work) to drive it
// again. Replies run inside drive(), on the thread itself.
namespace kestrelio::loop_ring {

struct ThreadFds {
  int completion_fd;  // -1 when the thread's runtime fell back to polling
  int wake_fd;
};

// Why drive() is called: the flush scheduled after submissions, or one of
// the two descriptors found readable.
enum class DriveCause : std::uint8_t { Flush, Completions, Wake };

// The calling thread's runtime (made on first use; in a forked child a new
// one, the parent's left untouched), as an opaque token that changes when
// the runtime does, and its descriptors.
Expected<ThreadFds> thread_fds(const void** token = nullptr);

// After submissions from a loop identified by `owner`: true when the caller
// must schedule a Flush drive, which happens once until the drives it
// scheduled have run (or until another owner asks). With `again`, always
// true: one more Flush drive, queued behind one already scheduled.
bool request_flush(const void* owner, bool again = false) noexcept;

// When the Flush drive cannot be scheduled: forgets the request and rings
// the thread's wake fd instead, so the next drive comes from its reader.
void nudge() noexcept;

// Runs the calling thread's ready tasks, submits what they prepared in one
// system call, reaps completions and pool results, and repeats while tasks
// become ready, within a bounded amount of work. Returns true when work is
// left over: the caller schedules another Flush drive. Does nothing on a
// thread without a runtime.
bool drive(DriveCause cause);

// Counters of the calling thread's runtime, for tests and benchmarks.
struct Stats {
  std::uint64_t drives = 0;
  std::uint64_t forced_async = 0;  // transfers sent to the kernel's workers
  std::size_t tasks = 0;           // operation tasks not yet finished
  bool ring = false;               // io_uring, not the polling fallback
};
Stats thread_stats() noexcept;

// Test hook: makes every following drive() stop after `n` task resumes
// (0 restores the default).
void set_drive_budget(std::size_t n) noexcept;

}  // namespace kestrelio::loop_ring
