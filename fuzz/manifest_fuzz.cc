// manifest.json text from disk.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "cache/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto parsed = brivane::parse_manifest_text(std::string_view(reinterpret_cast<const char*>(data), size));
  if (parsed.ok()) {
    // Touch every string so a dangling view would show.
    std::size_t total = parsed->source_name.size() + parsed->metadata_sha256.size() + parsed->index_sha256.size();
    for (const auto& shard : parsed->shards) total += shard.name.size() + shard.sha256.size();
    for (const auto& field : parsed->metadata_schema) total += field.name.size();
    if (total == static_cast<std::size_t>(-1)) __builtin_trap();
  }
  return 0;
}
