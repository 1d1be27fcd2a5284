// A cache directory after its manifest, files and index have been checked.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "cache/index_row.h"
#include "cache/manifest.h"
#include "cache/metadata_value.h"
#include "cache/shard_reader_cache.h"

namespace brivane {

// Read-only once open_cache returns, except the metadata rows, which sit
// behind rows_mutex and go at most once from empty to filled.
struct OpenedCache {
  Manifest manifest;
  std::vector<IndexRow> index;  // one row per sample, in sample order
  std::filesystem::path dir;    // as passed to open_cache, not resolved
  bool validate = false;        // reads compare embedded metadata with the table
  std::vector<ShardFile> shard_files;  // dir/shards/name per manifest shard

  mutable std::mutex rows_mutex;
  // The rows of metadata.arrow: filled at open when validating, otherwise
  // loaded by the first validating read that needs them.
  mutable std::optional<std::vector<MetadataRow>> rows;
  // Set when an update of `rows` was cut short while holding the lock; every
  // later user then fails with WorkerFailed.
  mutable bool rows_poisoned = false;

  std::uint64_t sample_count() const { return index.size(); }
};

}  // namespace brivane
