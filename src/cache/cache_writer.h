// The writer of one cache directory: samples appended in source order become
// shard records, index rows and metadata rows; finish() writes the table, the
// index and the manifest.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "cache/index_row.h"
#include "cache/manifest.h"
#include "cache/metadata_value.h"
#include "cache/shard_writer.h"
#include "runtime/error.h"

namespace brivane {

// What one append did, for progress and profiling (steady clock).
struct AppendResult {
  std::uint64_t data_length = 0;    // sample data before compression
  std::uint64_t record_length = 0;  // bytes written to the shard
  std::chrono::nanoseconds metadata_validate{0};
  std::chrono::nanoseconds compression{0};
  std::chrono::nanoseconds record_encode{0};
  std::chrono::nanoseconds disk_write{0};
};

struct FinishedCache {
  Manifest manifest;  // exactly what manifest.json holds
  std::chrono::nanoseconds shard_flush{0};
  std::chrono::nanoseconds finish_metadata{0};
  std::chrono::nanoseconds finish_index{0};
  std::chrono::nanoseconds finish_manifest{0};
};

class CacheWriter {
 public:
  // Refuses an existing `dir` (InvalidArgument "cache path already exists: {path}")
  // before creating anything, then creates dir/shards with its parents and
  // opens shard 0.
  static Result<CacheWriter> create(const std::filesystem::path& dir, std::string source_name,
                                    std::uint64_t max_shard_bytes, ShardCompression compression);

  // Types the metadata (the first sample fixes the schema), builds the record
  // in one reused buffer, rolls over to a new shard when the record would push
  // a non-empty shard past max_shard_bytes, and writes it. The data is read,
  // never kept: the record buffer receives its only copy. After a failure the
  // writer must not be used again.
  Result<AppendResult> append(const std::uint8_t* data, std::size_t n, const SampleMetadata& metadata);
  // Takes the data over and frees it once its record is written.
  Result<AppendResult> append(std::vector<std::uint8_t>&& data, const SampleMetadata& metadata);

  // Closes the last shard, then writes metadata.arrow, index.bin and
  // manifest.json in that order, hashing the first two from disk. Fails with
  // InvalidArgument "cache source yielded no samples" when nothing was appended.
  Result<FinishedCache> finish() &&;

  const std::filesystem::path& dir() const { return dir_; }
  const MetadataSchema& schema() const { return schema_; }
  std::uint64_t sample_count() const { return index_.size(); }

 private:
  CacheWriter(std::filesystem::path dir, std::string source_name, std::uint64_t max_shard_bytes,
              ShardCompression compression, ShardWriter shard);

  // Room for a record of up to `n` bytes, reusing the buffer of earlier records.
  Result<std::uint8_t*> record_space(std::size_t n);
  Status roll_over_if_full(std::uint64_t record_length);

  std::filesystem::path dir_;
  std::string source_name_;
  std::uint64_t max_shard_bytes_;
  ShardCompression compression_;
  MetadataSchema schema_;
  bool schema_fixed_ = false;
  std::vector<MetadataRow> rows_;
  std::vector<IndexRow> index_;
  std::vector<ShardManifest> finished_shards_;
  ShardWriter current_;
  std::unique_ptr<std::uint8_t[]> record_;
  std::size_t record_capacity_ = 0;
};

}  // namespace brivane
