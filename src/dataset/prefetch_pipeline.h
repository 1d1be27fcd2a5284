// The read-ahead behind one iterator: the workers read the next samples of
// the epoch plan while the consumer takes them, strictly in plan order.
//
// A read job covers a batch of consecutive plan positions (one for large
// samples, up to 64 for small ones), so that the cost of a hand-off between
// threads is shared by many small samples. At most L = min(prefetch_size,
// num_workers, epoch length) jobs are in flight. Jobs are also only submitted
// for positions within `window` of the next one to deliver, so a slow read
// holds back a bounded number of finished samples in the reorder buffer
// instead of letting the whole rest of the epoch pile up behind it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "cache/opened_cache.h"
#include "cache/read_sample.h"
#include "cache/shard_reader_cache.h"
#include "dataset/dataset_core.h"
#include "dataset/epoch_plan.h"
#include "runtime/channel.h"
#include "runtime/error.h"
#include "runtime/worker_pool.h"

namespace brivane {

// One sample as the iterator hands it on, with its identity.
struct LoadedSample {
  SampleData sample;
  std::uint64_t cache_id = 0;
  std::uint64_t sample_id = 0;
};

struct SampleLocation {
  std::uint64_t cache_id;
  std::uint64_t sample_id;
};

// The cache holding physical sample `physical`: the last cache whose offset
// is <= physical (so empty caches, which share the next cache's offset, are
// skipped), and the position within it.
Result<SampleLocation> locate_sample(std::span<const std::uint64_t> cache_offsets,
                                     const std::vector<std::shared_ptr<const OpenedCache>>& caches,
                                     std::uint64_t physical);

// How a read job reads one sample; empty means read_sample (with
// neighbouring records read together). Tests put a stand-in here to slow
// down or fail chosen reads.
using SampleReader = std::function<Result<SampleData>(const OpenedCache&, std::uint64_t, ShardReaderCache&)>;

struct PipelineSources {
  std::shared_ptr<WorkerPool> pool;
  CacheList caches;
  CacheOffsets cache_offsets;
  std::uint64_t prefetch_size = 1;
  std::uint64_t num_workers = 1;
  SampleReader reader;
  // Plan positions per read job; 0 lets the pipeline choose from the
  // caches' mean record size.
  std::uint64_t batch = 0;
};

// A run of consecutive plan positions that one job reads, and what it read.
// The object travels to a worker and back and is then reused for a later
// run, so that a steady epoch allocates no job state.
struct ReadBatch {
  std::uint64_t number = 0;                // the batch's place among the epoch's batches
  std::vector<std::uint64_t> physical;     // one physical index per position, set by the consumer
  std::vector<LoadedSample> samples;       // in position order, up to the first failure
  std::optional<ModuleError> failure;      // the failure of the position after the last sample
  // Samples the consumer is done with. The worker frees them before it
  // reads: freed on the consuming thread, which allocates nothing of its own
  // in those sizes, every free would take the allocator lock of the worker's
  // arena that made them, and that lock, contended by both sides, cost
  // several times the read itself.
  std::vector<LoadedSample> spent;
};

// Batches that arrived ahead of their turn, by batch number: a ring over the
// numbers from the next one to deliver on, grown on demand (never beyond what
// the window lets through), so a steady stream allocates nothing.
class ReorderRing {
 public:
  explicit ReorderRing(std::uint64_t initial_capacity);

  // False if `batch->number` is not after `next` or is already held.
  bool put(std::uint64_t next, std::unique_ptr<ReadBatch>&& batch);
  // The batch numbered `next`, if held.
  std::unique_ptr<ReadBatch> take(std::uint64_t next);

  std::uint64_t held() const { return held_; }

 private:
  std::unique_ptr<ReadBatch>& slot(std::uint64_t number) { return slots_[number & (slots_.size() - 1)]; }
  void grow(std::uint64_t next);

  std::vector<std::unique_ptr<ReadBatch>> slots_;  // size a power of two
  std::uint64_t held_ = 0;
};

class PrefetchPipeline {
 public:
  // Sets up the pipeline for `plan` and submits the first reads. A refused
  // submission (or a plan that cannot answer) is WorkerFailed; the reads
  // already queued are then cancelled.
  static Result<std::unique_ptr<PrefetchPipeline>> start(PipelineSources sources, EpochPlan plan);

  PrefetchPipeline(const PrefetchPipeline&) = delete;
  PrefetchPipeline& operator=(const PrefetchPipeline&) = delete;
  // Cancels outstanding reads without waiting for them: queued reads are
  // skipped, running ones drop their result.
  ~PrefetchPipeline();

  // The next sample in plan order, or nothing once the epoch is over. A
  // failure finishes the pipeline (later calls return nothing). It is
  // returned once the samples before it in its own batch are delivered, and
  // at once when it arrives in a later batch, ahead of earlier positions.
  Result<std::optional<LoadedSample>> next();

  // Hands a delivered sample back once its contents have been copied out,
  // so that its memory is released on a worker.
  void recycle(LoadedSample&& sample);

  std::uint64_t epoch_len() const { return epoch_len_; }
  // Read jobs in flight at most, and plan positions per job.
  std::uint64_t in_flight_limit() const { return limit_; }
  std::uint64_t batch_size() const { return batch_; }
  // Positions submitted ahead of the next one to deliver, at most.
  std::uint64_t window() const { return window_; }
  std::uint64_t delivered() const { return delivered_; }
  // Jobs submitted whose batch has not come back yet.
  std::uint64_t in_flight() const { return in_flight_; }
  // Positions submitted so far.
  std::uint64_t submitted() const { return next_submit_; }
  // Samples read but not yet delivered, now and at most so far.
  std::uint64_t buffered() const;
  std::uint64_t peak_buffered() const { return peak_buffered_; }
  bool finished() const { return delivered_ >= epoch_len_; }

  // What every read job shares with the pipeline.
  struct ReadContext {
    std::atomic<bool> cancelled{false};
    CacheList caches;
    CacheOffsets cache_offsets;
    SampleReader reader;
    Sender<std::unique_ptr<ReadBatch>> results;
  };

 private:
  PrefetchPipeline(PipelineSources sources, EpochPlan plan);

  // Submits batches while the in-flight limit, the epoch and the window allow.
  Status refill();
  // Ends the epoch early: nothing more is delivered, outstanding reads are cancelled.
  void finish();
  // Counts the sample numbered next-to-deliver as delivered and tops the reads up.
  Status advance();
  // Takes the next batch in order into current_, waiting for it if need be.
  // A failure it returns has finished the pipeline.
  Status next_batch();
  void note_buffered();

  std::shared_ptr<WorkerPool> pool_;
  EpochPlan plan_;
  std::uint64_t epoch_len_;
  std::uint64_t limit_;
  std::uint64_t batch_;
  std::uint64_t window_;
  std::shared_ptr<ReadContext> context_;
  Receiver<std::unique_ptr<ReadBatch>> results_;
  std::uint64_t next_submit_ = 0;
  std::uint64_t next_batch_submit_ = 0;
  std::uint64_t in_flight_ = 0;
  std::uint64_t next_deliver_ = 0;
  std::uint64_t next_batch_deliver_ = 0;
  std::uint64_t delivered_ = 0;
  std::uint64_t read_ahead_ = 0;  // samples held in the reorder ring
  std::uint64_t peak_buffered_ = 0;
  ReorderRing reorder_;
  std::unique_ptr<ReadBatch> current_;  // the batch being delivered
  std::size_t current_pos_ = 0;
  std::vector<std::unique_ptr<ReadBatch>> free_batches_;
  std::vector<LoadedSample> spent_;  // at most spent_limit_, sent with the next batch
  std::size_t spent_limit_;
};

}  // namespace brivane
