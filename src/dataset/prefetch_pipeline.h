// The read-ahead behind one iterator: the workers read the next samples of
// the epoch plan while the consumer takes them, strictly in plan order.
//
// At most L = min(prefetch_size, num_workers, epoch length) reads are in
// flight. Reads are also only submitted for positions less than `window`
// ahead of the next one to deliver, so a slow read holds back at most
// window - 1 finished samples in the reorder buffer instead of letting the
// whole rest of the epoch pile up behind it.
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

// The heap parts of a sample the consumer is done with. They go back to the
// workers inside later read jobs and are freed there: freed on the consuming
// thread, which allocates nothing of its own in those sizes, every free
// would take the allocator lock of the worker's arena that made them, and
// that lock, contended by both sides, cost several times the read itself.
struct SpentSample {
  std::unique_ptr<std::uint8_t[]> buffer;
  MetadataRow metadata;
};

// How a read job reads one sample; empty means read_sample. Tests put a
// stand-in here to slow down or fail chosen reads.
using SampleReader = std::function<Result<SampleData>(const OpenedCache&, std::uint64_t, ShardReaderCache&)>;

struct PipelineSources {
  std::shared_ptr<WorkerPool> pool;
  CacheList caches;
  CacheOffsets cache_offsets;
  std::uint64_t prefetch_size = 1;
  std::uint64_t num_workers = 1;
  SampleReader reader;
};

// Results that arrived ahead of their turn, by sequence number: a ring over
// the positions from the next one to deliver on, grown on demand (never
// beyond the window), so a steady stream allocates nothing.
class ReorderRing {
 public:
  explicit ReorderRing(std::uint64_t initial_capacity);

  // False if `seq` is not after `next` or is already held.
  bool put(std::uint64_t next, std::uint64_t seq, LoadedSample&& sample);
  // The sample numbered `next`, if held.
  std::optional<LoadedSample> take(std::uint64_t next);

  std::uint64_t held() const { return held_; }
  std::uint64_t peak_held() const { return peak_held_; }

 private:
  struct Entry {
    std::uint64_t seq;
    LoadedSample sample;
  };
  std::optional<Entry>& slot(std::uint64_t seq) { return slots_[seq & (slots_.size() - 1)]; }
  void grow(std::uint64_t next);

  std::vector<std::optional<Entry>> slots_;  // size a power of two
  std::uint64_t held_ = 0;
  std::uint64_t peak_held_ = 0;
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
  // failure is returned as soon as it arrives, even ahead of earlier
  // positions, and finishes the pipeline: later calls return nothing.
  Result<std::optional<LoadedSample>> next();

  // Hands a delivered sample back once its contents have been copied out,
  // so that its memory is released on a worker.
  void recycle(LoadedSample&& sample);

  std::uint64_t epoch_len() const { return epoch_len_; }
  std::uint64_t in_flight_limit() const { return limit_; }
  std::uint64_t window() const { return window_; }
  std::uint64_t delivered() const { return delivered_; }
  std::uint64_t in_flight() const { return in_flight_; }
  std::uint64_t submitted() const { return next_submit_; }
  std::uint64_t buffered() const { return reorder_.held(); }
  std::uint64_t peak_buffered() const { return reorder_.peak_held(); }
  bool finished() const { return delivered_ >= epoch_len_; }

  // What every read job shares with the pipeline.
  struct ReadMessage {
    std::uint64_t seq;
    Result<LoadedSample> result;
  };
  struct ReadContext {
    std::atomic<bool> cancelled{false};
    CacheList caches;
    CacheOffsets cache_offsets;
    SampleReader reader;
    Sender<ReadMessage> results;
  };

 private:
  PrefetchPipeline(PipelineSources sources, EpochPlan plan);

  static constexpr std::size_t kSpentLimit = 8;

  // Submits reads while the in-flight limit, the epoch and the window allow.
  Status refill();
  // Ends the epoch early: nothing more is delivered, outstanding reads are cancelled.
  void finish();
  // Counts the sample numbered next-to-deliver as delivered and tops the reads up.
  Status advance();

  std::shared_ptr<WorkerPool> pool_;
  EpochPlan plan_;
  std::uint64_t epoch_len_;
  std::uint64_t limit_;
  std::uint64_t window_;
  std::shared_ptr<ReadContext> context_;
  Receiver<ReadMessage> results_;
  std::uint64_t next_submit_ = 0;
  std::uint64_t in_flight_ = 0;
  std::uint64_t next_deliver_ = 0;
  std::uint64_t delivered_ = 0;
  ReorderRing reorder_;
  std::vector<SpentSample> spent_;  // at most kSpentLimit, handed out last first
};

}  // namespace brivane
