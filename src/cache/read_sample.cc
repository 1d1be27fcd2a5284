#include "cache/read_sample.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cache/embedded_metadata.h"
#include "cache/lz4_payload.h"
#include "cache/metadata_schema.h"
#include "cache/metadata_table.h"
#include "cache/shard_record.h"

namespace brivane {

namespace {

// Compressed records are read into a per-thread buffer that is reused across
// reads; one larger than this is read into a buffer of its own so that a rare
// huge record does not stay pinned to the thread.
constexpr std::size_t kScratchKeepLimit = 8u << 20;

Status compare_with_table(const OpenedCache& cache, std::uint64_t sample_id, const MetadataRow& row) {
  std::lock_guard<std::mutex> lock(cache.rows_mutex);
  if (cache.rows_poisoned) return ModuleError::worker_failed();
  if (!cache.rows) {
    // An allocation failure while loading leaves the slot in an unknown
    // state: poison it rather than let later readers trust it.
    try {
      BRV_ASSIGN_OR_RETURN(std::vector<MetadataRow> rows,
                           read_metadata_table(cache.dir / "metadata.arrow", cache.manifest.metadata_schema));
      cache.rows = std::move(rows);
    } catch (...) {
      cache.rows_poisoned = true;
      return ModuleError::worker_failed();
    }
  }
  if (!cache.rows) return ModuleError::invalid_cache("metadata rows are unavailable");
  const std::vector<MetadataRow>& rows = *cache.rows;
  if (sample_id >= rows.size()) {
    return ModuleError::invalid_cache("metadata row " + std::to_string(sample_id) + " is out of range");
  }
  if (!rows_equal(row, rows[sample_id])) {
    return ModuleError::invalid_cache("embedded metadata does not match metadata.arrow for sample " +
                                      std::to_string(sample_id));
  }
  return ok_status();
}

}  // namespace

Result<SampleData> read_sample(const OpenedCache& cache, std::uint64_t sample_id, ShardReaderCache& readers) {
  if (sample_id >= cache.index.size()) {
    return ModuleError::invalid_cache("sample index " + std::to_string(sample_id) + " is out of range");
  }
  const IndexRow& row = cache.index[sample_id];
  if (row.shard_id >= cache.manifest.shards.size() || row.shard_id >= cache.shard_files.size()) {
    return ModuleError::invalid_cache("shard id " + std::to_string(row.shard_id) + " is out of range");
  }
  const ShardManifest& shard = cache.manifest.shards[row.shard_id];
  const std::size_t length = static_cast<std::size_t>(row.length);
  const bool compressed = shard.compression.algo == CompressionAlgo::Lz4;

  SampleData sample;
  thread_local std::vector<std::uint8_t> scratch;
  std::vector<std::uint8_t> oversized;
  std::uint8_t* record;
  if (!compressed) {
    sample.buffer = std::make_unique_for_overwrite<std::uint8_t[]>(length);
    record = sample.buffer.get();
  } else if (length <= kScratchKeepLimit) {
    if (scratch.size() < length) scratch.resize(length);
    record = scratch.data();
  } else {
    oversized.resize(length);
    record = oversized.data();
  }
  BRV_TRY(readers.read_exact(cache.shard_files[row.shard_id], row.offset, record, length));

  BRV_ASSIGN_OR_RETURN(RecordParts parts, split_record(record, length));
  BRV_ASSIGN_OR_RETURN(sample.metadata, decode_embedded_metadata(parts.metadata, cache.manifest.metadata_schema));
  if (cache.validate) BRV_TRY(compare_with_table(cache, sample_id, sample.metadata));

  if (!compressed) {
    sample.data_offset = parts.payload_offset;
    sample.data_size = parts.payload_size;
  } else {
    const std::uint8_t* payload = record + parts.payload_offset;
    BRV_ASSIGN_OR_RETURN(std::size_t capacity, lz4_decoded_capacity(payload, parts.payload_size));
    sample.buffer = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
    BRV_ASSIGN_OR_RETURN(sample.data_size,
                         decode_lz4_payload_into(payload, parts.payload_size, sample.buffer.get(), capacity));
  }
  return sample;
}

}  // namespace brivane
