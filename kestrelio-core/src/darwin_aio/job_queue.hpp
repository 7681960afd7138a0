#pragma once

#include <cstddef>
#include <list>
#include <optional>
#include <unordered_map>

#include "darwin_aio/job.hpp"

namespace kestrelio::darwin_aio {

// Jobs waiting for a kernel slot, in submission order, with an index by
// operation id so that a cancel costs the same whatever the queue length.
class JobQueue {
 public:
  bool empty() const noexcept { return jobs_.empty(); }
  std::size_t size() const noexcept { return jobs_.size(); }

  void push_back(Job job) {
    OpId id = job.op_id;
    jobs_.push_back(std::move(job));
    index_[id] = std::prev(jobs_.end());
  }
  void push_front(Job job) {
    OpId id = job.op_id;
    jobs_.push_front(std::move(job));
    index_[id] = jobs_.begin();
  }
  // The front job; the queue must not be empty.
  Job pop_front() {
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    index_.erase(job.op_id);
    return job;
  }
  // Removes the job of `id`, the others keeping their order.
  std::optional<Job> take(OpId id) {
    auto it = index_.find(id);
    if (it == index_.end()) return std::nullopt;
    Job job = std::move(*it->second);
    jobs_.erase(it->second);
    index_.erase(it);
    return job;
  }

 private:
  std::list<Job> jobs_;
  std::unordered_map<OpId, std::list<Job>::iterator> index_;
};

}  // namespace kestrelio::darwin_aio
