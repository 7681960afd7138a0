#include "pending_release.hpp"

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <vector>

namespace kestrelio::py {

namespace {

// Leaked on purpose: references may still be deferred while the process
// exits, after static destructors would have run.
struct PendingList {
  std::mutex m;
  std::vector<PyObject*> objects;
  std::atomic<bool> nonempty{false};
};

std::atomic<PendingList*> current_list{nullptr};

// A backend thread may hold the list's mutex at the moment of a fork, and it
// does not exist in the child, so the child starts a fresh list. The old one
// is never touched again: its few references stay held, which costs memory only.
void fresh_list_in_child() noexcept { current_list.store(new PendingList, std::memory_order_release); }

PendingList& pending() {
  static const bool ready = [] {
    current_list.store(new PendingList, std::memory_order_release);
    pthread_atfork(nullptr, nullptr, fresh_list_in_child);
    return true;
  }();
  (void)ready;
  return *current_list.load(std::memory_order_acquire);
}

}  // namespace

void release_anywhere(PyObject* o) noexcept {
  if (!o) return;
  if (PyGILState_Check()) {
    Py_DECREF(o);
    return;
  }
  PendingList& p = pending();
  std::lock_guard<std::mutex> g(p.m);
  p.objects.push_back(o);
  p.nonempty.store(true, std::memory_order_release);
}

void apply_pending_releases() noexcept {
  PendingList& p = pending();
  if (!p.nonempty.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> batch;
  {
    std::lock_guard<std::mutex> g(p.m);
    batch.swap(p.objects);
    p.nonempty.store(false, std::memory_order_relaxed);
  }
  // Released outside the lock: a destructor may defer further releases.
  for (PyObject* o : batch) Py_DECREF(o);
}

}  // namespace kestrelio::py
