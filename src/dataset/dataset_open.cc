#include "dataset/dataset_open.h"

#include <algorithm>
#include <filesystem>
#include <limits>
#include <optional>
#include <utility>

#include "cache/open_cache.h"
#include "dataset/sampling_state.h"
#include "runtime/channel.h"
#include "runtime/job.h"

namespace brivane {
namespace {

struct OpenResult {
  std::uint64_t index;
  Result<std::shared_ptr<OpenedCache>> cache;
};

using OpenSender = Sender<OpenResult>;

// Opens one path on a worker and reports it under its index. A send that
// finds the constructor gone (it failed on another cache) is simply dropped.
Status submit_open(const WorkerPool& pool, const OpenSender& results, const std::string& path, std::uint64_t index,
                   bool validate) {
  Job job(
      [results, path, index, validate] {
        results.send(OpenResult{index, open_cache(std::filesystem::path(path), validate)});
      },
      [results, index] { results.send(OpenResult{index, ModuleError::worker_failed()}); });
  if (!pool.submit(std::move(job)).ok()) return ModuleError::worker_failed();
  return ok_status();
}

// Opens every path with at most `slots` opens running, in path order.
Result<std::vector<std::shared_ptr<const OpenedCache>>> open_all(const WorkerPool& pool, std::uint64_t slots,
                                                               const std::vector<std::string>& paths,
                                                               bool validate) {
  const std::uint64_t n = paths.size();
  auto [tx, rx] = make_channel<OpenResult>(static_cast<std::size_t>(slots));
  std::uint64_t submitted = 0;
  for (; submitted < slots; ++submitted) BRV_TRY(submit_open(pool, tx, paths[submitted], submitted, validate));

  std::vector<std::shared_ptr<const OpenedCache>> caches(n);
  for (std::uint64_t arrived = 0; arrived < n; ++arrived) {
    std::optional<OpenResult> message = rx.recv();
    if (!message) return ModuleError::worker_failed();
    if (!message->cache.ok()) return std::move(message->cache).error();
    // Results are placed by index, so arrival order never shows.
    if (message->index >= n || caches[message->index]) return ModuleError::worker_failed();
    caches[message->index] = std::move(message->cache).value();
    if (submitted < n) {
      BRV_TRY(submit_open(pool, tx, paths[submitted], submitted, validate));
      ++submitted;
    }
  }
  return caches;
}

}  // namespace

Result<CacheNumbering> number_caches(std::span<const std::uint64_t> sample_counts) {
  CacheNumbering numbering;
  numbering.offsets.reserve(sample_counts.size());
  for (std::uint64_t count : sample_counts) {
    numbering.offsets.push_back(numbering.total);
    if (count > std::numeric_limits<std::uint64_t>::max() - numbering.total) {
      return ModuleError::invalid_argument("total sample count overflowed usize");
    }
    numbering.total += count;
  }
  return numbering;
}

bool schemas_match(const std::vector<std::shared_ptr<const OpenedCache>>& caches) {
  if (caches.empty()) return true;
  const MetadataSchema& first = caches.front()->manifest.metadata_schema;
  return std::all_of(caches.begin() + 1, caches.end(),
                     [&](const auto& cache) { return cache->manifest.metadata_schema == first; });
}

Result<std::shared_ptr<DatasetCore>> open_dataset(std::shared_ptr<WorkerPool> pool, std::uint64_t num_workers,
                                                  const std::vector<std::string>& paths,
                                                  const DatasetSettings& settings) {
  if (paths.empty()) return ModuleError::invalid_argument("CachedDataset requires at least one cache path");
  if (settings.prefetch_size == 0) return ModuleError::invalid_argument("prefetch_size must be greater than zero");
  if (!pool) return ModuleError::worker_failed();

  const std::uint64_t slots = std::min<std::uint64_t>(paths.size(), std::max<std::uint64_t>(num_workers, 1));
  BRV_ASSIGN_OR_RETURN(std::vector<std::shared_ptr<const OpenedCache>> caches,
                       open_all(*pool, slots, paths, settings.validate_cache));
  if (caches.empty()) return ModuleError::invalid_argument("no caches provided");
  if (!schemas_match(caches)) return ModuleError::invalid_cache("all caches must share the same metadata schema");

  std::vector<std::uint64_t> counts;
  counts.reserve(caches.size());
  for (const auto& cache : caches) counts.push_back(cache->sample_count());
  BRV_ASSIGN_OR_RETURN(CacheNumbering numbering, number_caches(counts));
  if (numbering.total == 0) return ModuleError::invalid_cache("dataset contains no physical samples");

  auto core = std::make_shared<DatasetCore>();
  core->schema = caches.front()->manifest.metadata_schema;
  core->pool = std::move(pool);
  core->total = numbering.total;
  core->caches = std::make_shared<const std::vector<std::shared_ptr<const OpenedCache>>>(std::move(caches));
  core->cache_offsets = std::make_shared<const std::vector<std::uint64_t>>(std::move(numbering.offsets));
  core->seed = settings.seed;
  core->prefetch_size = settings.prefetch_size;
  core->num_workers = num_workers;
  core->shuffle = settings.shuffle;
  core->sampling = initial_sampling_state(numbering.total);
  return core;
}

}  // namespace brivane
