// The worker pool: detached native threads fed by one bounded job queue.
//
// A WorkerPool is nothing but the sending end of that queue. Every holder of
// a shared_ptr<WorkerPool> keeps the workers alive; when the last one lets go,
// the queue closes, the workers run what is still queued and end on their
// own. Nothing ever joins or waits for them. Results never come back through
// the pool: each job carries the sending end of its submitter's channel.
#pragma once

#include <cstdint>
#include <memory>

#include "runtime/channel.h"
#include "runtime/error.h"
#include "runtime/job.h"

namespace brivane {

class WorkerPool {
 public:
  // More threads than this cannot be started on Linux anyway (the default
  // pid_max is 32768); refusing them up front spares allocating a queue that
  // would only be thrown away.
  static constexpr std::uint64_t kMaxWorkers = std::uint64_t{1} << 16;

  // Starts `num_workers` threads blocked on an empty queue of
  // queue_capacity(num_workers) slots. 0 is an InvalidArgument. A count above
  // kMaxWorkers, or whose queue or threads cannot be allocated, is
  // WorkerFailed (threads already started then find the queue closed and end).
  static Result<std::shared_ptr<WorkerPool>> start(std::uint64_t num_workers);

  // Four slots per worker, saturating, at least one.
  static std::uint64_t queue_capacity(std::uint64_t num_workers) noexcept;

  // Queues `job`, waiting for a free slot while the queue is full. WorkerFailed
  // if no worker is left to receive it; the job is then destroyed unrun.
  Status submit(Job job) const;

  std::uint64_t num_workers() const noexcept { return num_workers_; }

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

 private:
  WorkerPool(Sender<Job> queue, std::uint64_t num_workers)
      : queue_(std::move(queue)), num_workers_(num_workers) {}

  Sender<Job> queue_;
  std::uint64_t num_workers_;
};

}  // namespace brivane
