// Opening a cache directory, optionally re-hashing every file.
#pragma once

#include <filesystem>
#include <memory>

#include "cache/opened_cache.h"
#include "runtime/error.h"

namespace brivane {

// Checks that the files the manifest names are present with their recorded
// sizes (and, when validating, digests), loads the index and checks the
// counts; with validation it also loads the metadata table. Shard names that
// would leave the shards directory, and index rows pointing outside their
// shard, are refused. Touches no shared state.
Result<std::shared_ptr<OpenedCache>> open_cache(const std::filesystem::path& dir, bool validate);

}  // namespace brivane
