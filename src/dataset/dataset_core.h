// What a CachedDataset is made of: the opened caches numbered as one
// population, the settings fixed at construction, and the sampling state
// behind the dataset's one lock. Iterators share the immutable parts.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "cache/metadata_value.h"
#include "cache/opened_cache.h"
#include "dataset/sampling_state.h"
#include "runtime/error.h"
#include "runtime/worker_pool.h"

namespace brivane {

using CacheList = std::shared_ptr<const std::vector<std::shared_ptr<const OpenedCache>>>;
// cache_offsets[i] = sum of the sample counts of caches 0 .. i-1.
using CacheOffsets = std::shared_ptr<const std::vector<std::uint64_t>>;

struct DatasetCore {
  MetadataSchema schema;  // cache 0's, shared by all caches
  std::shared_ptr<WorkerPool> pool;
  CacheList caches;
  CacheOffsets cache_offsets;
  std::uint64_t total = 0;  // physical samples, at least 1
  std::uint64_t seed = 0;
  std::uint64_t prefetch_size = 1;
  std::uint64_t num_workers = 1;
  bool shuffle = false;

  // The only mutable state of a dataset. A holder that fails half-way through
  // an update marks it poisoned; every later user then fails with WorkerFailed.
  mutable std::mutex sampling_mutex;
  SamplingState sampling;
  bool sampling_poisoned = false;
};

// Runs `body(SamplingState&)` (returning a Result or Status) under the
// sampling lock, held for the call only. A poisoned lock is WorkerFailed; a
// body that throws leaves the lock poisoned and the exception goes on.
template <class Body>
auto with_sampling_state(DatasetCore& core, Body&& body) -> decltype(body(core.sampling)) {
  std::lock_guard<std::mutex> lock(core.sampling_mutex);
  if (core.sampling_poisoned) return ModuleError::worker_failed();
  try {
    return body(core.sampling);
  } catch (...) {
    core.sampling_poisoned = true;
    throw;
  }
}

}  // namespace brivane
