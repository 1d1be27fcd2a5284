// The manifest: a cache's table of contents, stored as manifest.json.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "cache/metadata_value.h"
#include "runtime/error.h"

namespace brivane {

inline constexpr std::uint32_t kFormatVersion = 2;

enum class CompressionAlgo : std::uint8_t { None = 0, Lz4 = 1 };

// "none", "lz4".
std::string_view algo_text(CompressionAlgo algo);

struct ShardCompression {
  CompressionAlgo algo = CompressionAlgo::None;
  double ratio = 1.0;  // recorded as configured, never used when reading
  bool operator==(const ShardCompression&) const = default;
};

struct ShardManifest {
  std::string name;  // file name inside shards/, e.g. 000000.bin
  std::uint64_t uncompressed_byte_len = 0;
  std::uint64_t byte_len = 0;
  ShardCompression compression;
  std::string sha256;  // 64 lowercase hex digits
  bool operator==(const ShardManifest&) const = default;
};

struct Manifest {
  std::uint32_t format_version = kFormatVersion;
  std::string source_name;
  std::uint64_t sample_count = 0;
  MetadataSchema metadata_schema;
  std::string metadata_sha256;
  std::string index_sha256;
  std::vector<ShardManifest> shards;
  bool operator==(const Manifest&) const = default;
};

// Writes `manifest` as pretty JSON to `path` (created/truncated, 0o666).
Status write_manifest_file(const std::filesystem::path& path, const Manifest& manifest);

// Reads cache_dir/manifest.json.
Result<Manifest> read_manifest_file(const std::filesystem::path& cache_dir);

// Parses manifest JSON text; the format version is not checked here.
Result<Manifest> parse_manifest_text(std::string_view text);

}  // namespace brivane
