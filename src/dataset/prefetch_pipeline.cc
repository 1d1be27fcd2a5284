#include "dataset/prefetch_pipeline.h"

#include <algorithm>
#include <bit>
#include <string>

#include "runtime/job.h"

namespace brivane {
namespace {

using ReadContext = PrefetchPipeline::ReadContext;
using ReadMessage = PrefetchPipeline::ReadMessage;

ModuleError out_of_range(std::uint64_t physical) {
  return ModuleError::invalid_cache("physical sample " + std::to_string(physical) + " is out of range");
}

Result<LoadedSample> read_located(const ReadContext& context, std::uint64_t physical) {
  BRV_ASSIGN_OR_RETURN(SampleLocation at, locate_sample(*context.cache_offsets, *context.caches, physical));
  const OpenedCache& cache = *(*context.caches)[at.cache_id];
  ShardReaderCache& readers = this_thread_reader_cache();
  Result<SampleData> data =
      context.reader ? context.reader(cache, at.sample_id, readers) : read_sample(cache, at.sample_id, readers);
  if (!data.ok()) return std::move(data).error();
  return LoadedSample{std::move(data).value(), at.cache_id, at.sample_id};
}

// Reads one sample on a worker and reports it under its sequence number,
// first freeing the spent sample it carries. Everything fits inside the Job
// itself, so submitting allocates nothing; a read that throws still reports
// (WorkerFailed), so the consumer never waits for a message that cannot come.
struct ReadJob {
  std::shared_ptr<const ReadContext> context;
  std::uint64_t physical;
  std::uint64_t seq;
  SpentSample spent;

  void operator()() {
    spent = SpentSample{};
    const ReadContext& ctx = *context;
    if (ctx.cancelled.load(std::memory_order_acquire)) {
      ctx.results.send(ReadMessage{seq, ModuleError::worker_failed()});
      return;
    }
    Result<LoadedSample> result = ModuleError::worker_failed();
    try {
      result = read_located(ctx, physical);
    } catch (...) {
      result = ModuleError::worker_failed();
    }
    // A sample read for an iterator that is gone by now is dropped here
    // rather than carried to a channel nobody reads.
    if (result.ok() && ctx.cancelled.load(std::memory_order_acquire)) result = ModuleError::worker_failed();
    // No receiver left: the message is dropped, which is all a cancelled read needs.
    ctx.results.send(ReadMessage{seq, std::move(result)});
  }
};

// Job stores up to 64 bytes inline; beyond that every submission would allocate.
static_assert(sizeof(ReadJob) <= 64);

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

bool ReorderRing::put(std::uint64_t next, std::uint64_t seq, LoadedSample&& sample) {
  if (seq <= next) return false;
  while (seq - next >= slots_.size()) grow(next);
  // Every held number lies in (next, next + size), so an occupied slot can
  // only hold this very number.
  std::optional<Entry>& s = slot(seq);
  if (s.has_value()) return false;
  s.emplace(Entry{seq, std::move(sample)});
  ++held_;
  peak_held_ = std::max(peak_held_, held_);
  return true;
}

std::optional<LoadedSample> ReorderRing::take(std::uint64_t next) {
  if (held_ == 0) return std::nullopt;
  std::optional<Entry>& s = slot(next);
  if (!s.has_value() || s->seq != next) return std::nullopt;
  std::optional<LoadedSample> out(std::move(s->sample));
  s.reset();
  --held_;
  return out;
}

void ReorderRing::grow(std::uint64_t next) {
  std::vector<std::optional<Entry>> bigger(slots_.size() * 2);
  for (std::uint64_t i = 0; i < slots_.size(); ++i) {
    std::optional<Entry>& old = slot(next + i);
    if (old.has_value()) bigger[old->seq & (bigger.size() - 1)].emplace(std::move(*old));
  }
  slots_ = std::move(bigger);
}

PrefetchPipeline::PrefetchPipeline(PipelineSources sources, EpochPlan plan)
    : pool_(std::move(sources.pool)),
      plan_(std::move(plan)),
      epoch_len_(plan_.len()),
      limit_(std::max<std::uint64_t>(
          std::min({sources.prefetch_size, sources.num_workers, epoch_len_}), 1)),
      window_(std::max(limit_, sources.prefetch_size)),
      context_(std::make_shared<ReadContext>()),
      reorder_(std::min(window_, epoch_len_)) {
  auto [tx, rx] = make_channel<ReadMessage>(static_cast<std::size_t>(limit_));
  context_->caches = std::move(sources.caches);
  context_->cache_offsets = std::move(sources.cache_offsets);
  context_->reader = std::move(sources.reader);
  context_->results = std::move(tx);
  results_ = std::move(rx);
  spent_.reserve(kSpentLimit);
}

PrefetchPipeline::~PrefetchPipeline() { context_->cancelled.store(true, std::memory_order_release); }

Result<std::unique_ptr<PrefetchPipeline>> PrefetchPipeline::start(PipelineSources sources, EpochPlan plan) {
  if (!sources.pool || !sources.caches || !sources.cache_offsets) return ModuleError::worker_failed();
  std::unique_ptr<PrefetchPipeline> pipeline(new PrefetchPipeline(std::move(sources), std::move(plan)));
  if (!pipeline->refill().ok()) return ModuleError::worker_failed();
  return pipeline;
}

Status PrefetchPipeline::refill() {
  while (in_flight_ < limit_ && next_submit_ < epoch_len_ && next_submit_ - next_deliver_ < window_) {
    BRV_ASSIGN_OR_RETURN(std::uint64_t physical, plan_.next_physical());
    SpentSample spent;
    if (!spent_.empty()) {
      spent = std::move(spent_.back());
      spent_.pop_back();
    }
    Job job(ReadJob{context_, physical, next_submit_, std::move(spent)});
    if (!pool_->submit(std::move(job)).ok()) return ModuleError::worker_failed();
    ++next_submit_;
    ++in_flight_;
  }
  return ok_status();
}

void PrefetchPipeline::recycle(LoadedSample&& sample) {
  // Past the limit (the epoch's last samples, with no read left to carry
  // them) the memory is simply freed here.
  if (spent_.size() < kSpentLimit) {
    spent_.push_back(SpentSample{std::move(sample.sample.buffer), std::move(sample.sample.metadata)});
  }
}

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

Result<std::optional<LoadedSample>> PrefetchPipeline::next() {
  using Item = std::optional<LoadedSample>;
  if (finished()) return Item();
  for (;;) {
    if (Item early = reorder_.take(next_deliver_)) {
      BRV_TRY(advance());
      return early;
    }
    // Nothing outstanding and the next sample not buffered: waiting would
    // never end.
    if (in_flight_ == 0) {
      finish();
      return ModuleError::worker_failed();
    }
    std::optional<ReadMessage> message = results_.recv();
    if (!message) {
      finish();
      return ModuleError::worker_failed();
    }
    if (!message->result.ok()) {
      finish();
      return std::move(message->result).error();
    }
    if (message->seq >= next_submit_) {
      finish();
      return ModuleError::worker_failed();
    }
    --in_flight_;
    if (message->seq == next_deliver_) {
      BRV_TRY(advance());
      return Item(std::move(message->result).value());
    }
    if (!reorder_.put(next_deliver_, message->seq, std::move(message->result).value()) || !refill().ok()) {
      finish();
      return ModuleError::worker_failed();
    }
  }
}

}  // namespace brivane
