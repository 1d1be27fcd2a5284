// The settings of one write_cache call, read once from the writer_config object.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cache/manifest.h"

namespace brivane {

struct WriterConfig {
  std::uint64_t max_shard_bytes = 0;
  std::uint64_t prefetch_size = 0;
  ShardCompression shard_compression;
  bool show_progress = false;
  // Only consulted when an existing cache is reused.
  bool validate_cache = false;
  // Where the timing report goes; absent when profiling is off.
  std::optional<std::string> profile_path;
};

// The checks that follow reading: zero sizes, then the compression settings.
// `algo` is the configured text, kept raw so the message can quote it.
Status check_sizes(const WriterConfig& config);
Result<ShardCompression> parse_shard_compression(std::string_view algo, double ratio);

}  // namespace brivane
