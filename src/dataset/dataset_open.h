// Building a dataset: the caches are opened on the worker pool, checked to
// fit together and numbered as one population of physical samples.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "dataset/dataset_core.h"
#include "runtime/error.h"
#include "runtime/worker_pool.h"

namespace brivane {

struct DatasetSettings {
  std::uint64_t seed = 0;
  std::uint64_t prefetch_size = 1;
  bool shuffle = false;
  bool validate_cache = false;
};

// Opens every path (at most min(paths, num_workers) at a time, each on a
// worker), keeps them in path order as cache ids 0, 1, ... and assembles the
// core. The first failure to arrive ends the call; opens still running finish
// on their own and are discarded, paths not yet started are never opened.
Result<std::shared_ptr<DatasetCore>> open_dataset(std::shared_ptr<WorkerPool> pool, std::uint64_t num_workers,
                                                  const std::vector<std::string>& paths,
                                                  const DatasetSettings& settings);

// Prefix sums of the sample counts, one entry per cache, and their total.
struct CacheNumbering {
  std::vector<std::uint64_t> offsets;
  std::uint64_t total = 0;
};
Result<CacheNumbering> number_caches(std::span<const std::uint64_t> sample_counts);

// Whether every cache carries exactly the schema of the first (names byte for
// byte and kinds, in order).
bool schemas_match(const std::vector<std::shared_ptr<const OpenedCache>>& caches);

}  // namespace brivane
