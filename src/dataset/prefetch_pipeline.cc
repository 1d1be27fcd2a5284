#include "dataset/prefetch_pipeline.h"

#include <algorithm>
#include <bit>
#include <string>

#include "runtime/job.h"

namespace brivane {
namespace {

using ReadContext = PrefetchPipeline::ReadContext;

// A job reads about this many record bytes, and at most kMaxBatch positions:
// enough small samples that the hand-offs between consumer and worker no
// longer dominate, few enough large ones that read-ahead stays near a
// megabyte.
constexpr std::uint64_t kBatchBytes = 256u << 10;
constexpr std::uint64_t kMaxBatch = 64;

ModuleError out_of_range(std::uint64_t physical) {
  return ModuleError::invalid_cache("physical sample " + std::to_string(physical) + " is out of range");
}

std::uint64_t choose_batch(const CacheList& caches, std::uint64_t requested, std::uint64_t epoch_len,
                           std::uint64_t limit) {
  if (requested != 0) return requested;
  std::uint64_t bytes = 0, samples = 0;
  for (const auto& cache : *caches) {
    samples += cache->sample_count();
    for (const ShardManifest& shard : cache->manifest.shards) bytes += shard.byte_len;
  }
  const std::uint64_t mean = samples == 0 ? 1 : std::max<std::uint64_t>(bytes / samples, 1);
  // Every worker gets a share of a short epoch.
  const std::uint64_t share = std::max<std::uint64_t>((epoch_len + limit - 1) / limit, 1);
  return std::clamp<std::uint64_t>(kBatchBytes / mean, 1, std::min(kMaxBatch, share));
}

// Reads the batch's positions in order into `batch.samples`, stopping at the
// first failure. Positions that follow each other in one cache are read as
// runs of neighbouring records.
void read_batch(const ReadContext& ctx, ReadBatch& batch) {
  ShardReaderCache& readers = this_thread_reader_cache();
  const std::vector<std::uint64_t>& physical = batch.physical;
  const std::size_t n = physical.size();
  std::size_t i = 0;
  while (i < n) {
    if (ctx.cancelled.load(std::memory_order_acquire)) {
      batch.failure = ModuleError::worker_failed();
      return;
    }
    Result<SampleLocation> at = locate_sample(*ctx.cache_offsets, *ctx.caches, physical[i]);
    if (!at.ok()) {
      batch.failure = std::move(at).error();
      return;
    }
    const std::uint64_t cache_id = at->cache_id;
    const std::uint64_t first = at->sample_id;
    const OpenedCache& cache = *(*ctx.caches)[cache_id];
    if (!ctx.reader) {
      std::size_t run = 1;
      while (i + run < n && physical[i + run] == physical[i] + run && first + run < cache.sample_count()) ++run;
      run = run > 1 ? record_run_length(cache, first, run) : 0;
      if (run > 1) {
        std::uint64_t id = first;
        Status status = read_record_run(cache, first, run, readers, [&](SampleData&& data) {
          batch.samples.push_back(LoadedSample{std::move(data), cache_id, id++});
        });
        i += static_cast<std::size_t>(id - first);
        if (!status.ok()) {
          batch.failure = std::move(status).error();
          return;
        }
        continue;
      }
    }
    Result<SampleData> data = ctx.reader ? ctx.reader(cache, first, readers) : read_sample(cache, first, readers);
    if (!data.ok()) {
      batch.failure = std::move(data).error();
      return;
    }
    batch.samples.push_back(LoadedSample{std::move(data).value(), cache_id, first});
    ++i;
  }
}

// Reads one batch on a worker and sends it back, first freeing the spent
// samples it carries. The job holds two pointers, so submitting allocates
// nothing; a read that throws still reports (WorkerFailed), so the consumer
// never waits for a batch that cannot come.
struct ReadJob {
  std::shared_ptr<const ReadContext> context;
  std::unique_ptr<ReadBatch> batch;

  void operator()() {
    ReadBatch& b = *batch;
    b.spent.clear();
    b.samples.clear();
    b.failure.reset();
    const ReadContext& ctx = *context;
    try {
      read_batch(ctx, b);
    } catch (...) {
      b.failure = ModuleError::worker_failed();
    }
    // Samples read for an iterator that is gone by now are dropped here
    // rather than carried to a channel nobody reads.
    if (ctx.cancelled.load(std::memory_order_acquire)) {
      b.samples.clear();
      b.failure = ModuleError::worker_failed();
    }
    // No receiver left: the batch is dropped, which is all a cancelled read needs.
    ctx.results.send(std::move(batch));
  }
};

// Job keeps up to 96 bytes inline; beyond that every submission would allocate.
static_assert(sizeof(ReadJob) <= 96);

}  // namespace

Result<SampleLocation> locate_sample(std::span<const std::uint64_t> cache_offsets,
                                     const std::vector<std::shared_ptr<const OpenedCache>>& caches,
                                     std::uint64_t physical) {
  const auto after = std::upper_bound(cache_offsets.begin(), cache_offsets.end(), physical);
  if (after == cache_offsets.begin()) return out_of_range(physical);
  const auto cache_id = static_cast<std::uint64_t>(after - cache_offsets.begin() - 1);
  if (cache_id >= caches.size()) return ModuleError::invalid_cache("cache id is out of range");
  const std::uint64_t sample_id = physical - cache_offsets[cache_id];
  if (sample_id >= caches[cache_id]->sample_count()) return out_of_range(physical);
  return SampleLocation{cache_id, sample_id};
}

ReorderRing::ReorderRing(std::uint64_t initial_capacity)
    : slots_(std::bit_ceil(std::clamp<std::uint64_t>(initial_capacity, 2, 64))) {}

bool ReorderRing::put(std::uint64_t next, std::unique_ptr<ReadBatch>&& batch) {
  const std::uint64_t number = batch->number;
  if (number <= next) return false;
  while (number - next >= slots_.size()) grow(next);
  // Every held number lies in (next, next + size), so an occupied slot can
  // only hold this very number.
  std::unique_ptr<ReadBatch>& s = slot(number);
  if (s) return false;
  s = std::move(batch);
  ++held_;
  return true;
}

std::unique_ptr<ReadBatch> ReorderRing::take(std::uint64_t next) {
  if (held_ == 0) return nullptr;
  std::unique_ptr<ReadBatch>& s = slot(next);
  if (!s || s->number != next) return nullptr;
  --held_;
  return std::move(s);
}

void ReorderRing::grow(std::uint64_t next) {
  std::vector<std::unique_ptr<ReadBatch>> bigger(slots_.size() * 2);
  for (std::uint64_t i = 0; i < slots_.size(); ++i) {
    std::unique_ptr<ReadBatch>& old = slot(next + i);
    if (old) bigger[old->number & (bigger.size() - 1)] = std::move(old);
  }
  slots_ = std::move(bigger);
}

PrefetchPipeline::PrefetchPipeline(PipelineSources sources, EpochPlan plan)
    : pool_(std::move(sources.pool)),
      plan_(std::move(plan)),
      epoch_len_(plan_.len()),
      limit_(std::max<std::uint64_t>(std::min({sources.prefetch_size, sources.num_workers, epoch_len_}), 1)),
      batch_(choose_batch(sources.caches, sources.batch, epoch_len_, limit_)),
      // One batch more than are in flight: the next one is already being read
      // while the consumer takes the current one.
      window_(std::max(batch_ == 1 ? limit_ : (limit_ + 1) * batch_, sources.prefetch_size)),
      context_(std::make_shared<ReadContext>()),
      reorder_(std::min(window_, epoch_len_) / batch_ + 1),
      spent_limit_(static_cast<std::size_t>(std::min<std::uint64_t>(2 * batch_ + 8, 1024))) {
  auto [tx, rx] = make_channel<std::unique_ptr<ReadBatch>>(static_cast<std::size_t>(limit_));
  context_->caches = std::move(sources.caches);
  context_->cache_offsets = std::move(sources.cache_offsets);
  context_->reader = std::move(sources.reader);
  context_->results = std::move(tx);
  results_ = std::move(rx);
  spent_.reserve(spent_limit_);
}

PrefetchPipeline::~PrefetchPipeline() { context_->cancelled.store(true, std::memory_order_release); }

Result<std::unique_ptr<PrefetchPipeline>> PrefetchPipeline::start(PipelineSources sources, EpochPlan plan) {
  if (!sources.pool || !sources.caches || !sources.cache_offsets) return ModuleError::worker_failed();
  std::unique_ptr<PrefetchPipeline> pipeline(new PrefetchPipeline(std::move(sources), std::move(plan)));
  if (!pipeline->refill().ok()) return ModuleError::worker_failed();
  return pipeline;
}

Status PrefetchPipeline::refill() {
  while (in_flight_ < limit_ && next_submit_ < epoch_len_) {
    const std::uint64_t n = std::min(batch_, epoch_len_ - next_submit_);
    if (next_submit_ + n - next_deliver_ > window_) break;
    std::unique_ptr<ReadBatch> batch;
    if (free_batches_.empty()) {
      batch = std::make_unique<ReadBatch>();
      batch->physical.reserve(static_cast<std::size_t>(batch_));
      batch->samples.reserve(static_cast<std::size_t>(batch_));
      batch->spent.reserve(spent_limit_);
    } else {
      batch = std::move(free_batches_.back());
      free_batches_.pop_back();
    }
    batch->number = next_batch_submit_;
    batch->physical.clear();
    for (std::uint64_t k = 0; k < n; ++k) {
      BRV_ASSIGN_OR_RETURN(std::uint64_t physical, plan_.next_physical());
      batch->physical.push_back(physical);
    }
    batch->spent.swap(spent_);
    Job job(ReadJob{context_, std::move(batch)});
    if (!pool_->submit(std::move(job)).ok()) return ModuleError::worker_failed();
    next_submit_ += n;
    ++next_batch_submit_;
    ++in_flight_;
  }
  return ok_status();
}

void PrefetchPipeline::recycle(LoadedSample&& sample) {
  // Past the limit (the epoch's last samples, with no read left to carry
  // them) the memory is simply freed here.
  if (spent_.size() < spent_limit_) spent_.push_back(std::move(sample));
}

std::uint64_t PrefetchPipeline::buffered() const {
  const std::uint64_t current = current_ ? current_->samples.size() - current_pos_ : 0;
  return read_ahead_ + current;
}

void PrefetchPipeline::note_buffered() { peak_buffered_ = std::max(peak_buffered_, read_ahead_); }

void PrefetchPipeline::finish() {
  delivered_ = epoch_len_;
  context_->cancelled.store(true, std::memory_order_release);
}

Status PrefetchPipeline::advance() {
  ++next_deliver_;
  ++delivered_;
  // Topping up before the caller converts the sample keeps the workers busy
  // while the consumer builds its Python objects.
  if (!refill().ok()) {
    finish();
    return ModuleError::worker_failed();
  }
  return ok_status();
}

Status PrefetchPipeline::next_batch() {
  auto fail = [this](ModuleError error) -> Status {
    finish();
    return error;
  };
  for (;;) {
    if (std::unique_ptr<ReadBatch> early = reorder_.take(next_batch_deliver_)) {
      read_ahead_ -= early->samples.size();
      current_ = std::move(early);
      current_pos_ = 0;
      return ok_status();
    }
    // Nothing outstanding and the next batch not buffered: waiting would
    // never end.
    if (in_flight_ == 0) return fail(ModuleError::worker_failed());
    std::optional<std::unique_ptr<ReadBatch>> message = results_.recv();
    if (!message || !*message) return fail(ModuleError::worker_failed());
    std::unique_ptr<ReadBatch> batch = std::move(*message);
    if (batch->number >= next_batch_submit_ || batch->number < next_batch_deliver_) {
      return fail(ModuleError::worker_failed());
    }
    --in_flight_;
    // A later batch's failure is not held back behind the positions before it.
    if (batch->failure && batch->number != next_batch_deliver_) return fail(std::move(*batch->failure));
    if (batch->number == next_batch_deliver_) {
      current_ = std::move(batch);
      current_pos_ = 0;
      if (!refill().ok()) return fail(ModuleError::worker_failed());
      return ok_status();
    }
    const std::uint64_t count = batch->samples.size();
    if (!reorder_.put(next_batch_deliver_, std::move(batch))) return fail(ModuleError::worker_failed());
    read_ahead_ += count;
    note_buffered();
    if (!refill().ok()) return fail(ModuleError::worker_failed());
  }
}

Result<std::optional<LoadedSample>> PrefetchPipeline::next() {
  using Item = std::optional<LoadedSample>;
  if (finished()) return Item();
  for (;;) {
    if (current_) {
      if (current_pos_ < current_->samples.size()) {
        Item sample(std::move(current_->samples[current_pos_++]));
        BRV_TRY(advance());
        return sample;
      }
      if (current_->failure) {
        ModuleError failure = std::move(*current_->failure);
        finish();
        return failure;
      }
      // A batch that came back short without saying why.
      if (current_->samples.size() != current_->physical.size()) {
        finish();
        return ModuleError::worker_failed();
      }
      ++next_batch_deliver_;
      free_batches_.push_back(std::move(current_));
    }
    BRV_TRY(next_batch());
  }
}

}  // namespace brivane
