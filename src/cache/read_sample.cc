#include "cache/read_sample.h"

#include <cstring>
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

// The index row of `sample_id` and its shard, or the failure read_sample reports for them.
Result<const IndexRow*> index_row_of(const OpenedCache& cache, std::uint64_t sample_id) {
  if (sample_id >= cache.index.size()) {
    return ModuleError::invalid_cache("sample index " + std::to_string(sample_id) + " is out of range");
  }
  const IndexRow& row = cache.index[sample_id];
  if (row.shard_id >= cache.manifest.shards.size() || row.shard_id >= cache.shard_files.size()) {
    return ModuleError::invalid_cache("shard id " + std::to_string(row.shard_id) + " is out of range");
  }
  return &row;
}

bool is_compressed(const OpenedCache& cache, const IndexRow& row) {
  return cache.manifest.shards[row.shard_id].compression.algo == CompressionAlgo::Lz4;
}

// Splits the record, decodes and checks its metadata (before touching the
// payload, so a record with bad metadata is never decompressed) and decodes
// an lz4 payload into a buffer of its own. An uncompressed payload stays
// where it is; the caller either hands the record on as the sample's buffer
// or copies the payload out.
Result<RecordParts> decode_record(const OpenedCache& cache, std::uint64_t sample_id, bool compressed,
                                  const std::uint8_t* record, std::size_t length, SampleData& sample) {
  BRV_ASSIGN_OR_RETURN(RecordParts parts, split_record(record, length));
  BRV_ASSIGN_OR_RETURN(sample.metadata, decode_embedded_metadata(parts.metadata, cache.manifest.metadata_schema));
  if (cache.validate) BRV_TRY(compare_with_table(cache, sample_id, sample.metadata));
  if (compressed) {
    const std::uint8_t* payload = record + parts.payload_offset;
    BRV_ASSIGN_OR_RETURN(std::size_t capacity, lz4_decoded_capacity(payload, parts.payload_size));
    sample.buffer = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
    sample.data_offset = 0;
    BRV_ASSIGN_OR_RETURN(sample.data_size,
                         decode_lz4_payload_into(payload, parts.payload_size, sample.buffer.get(), capacity));
  }
  return parts;
}

// Runs are read into this per-thread buffer, never larger than one run.
std::vector<std::uint8_t>& run_scratch() {
  thread_local std::vector<std::uint8_t> scratch;
  return scratch;
}

}  // namespace

Result<SampleData> read_sample(const OpenedCache& cache, std::uint64_t sample_id, ShardReaderCache& readers) {
  BRV_ASSIGN_OR_RETURN(const IndexRow* row, index_row_of(cache, sample_id));
  const std::size_t length = static_cast<std::size_t>(row->length);
  const bool compressed = is_compressed(cache, *row);

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
  BRV_TRY(readers.read_exact(cache.shard_files[row->shard_id], row->offset, record, length));
  BRV_ASSIGN_OR_RETURN(RecordParts parts, decode_record(cache, sample_id, compressed, record, length, sample));
  if (!compressed) {
    sample.data_offset = parts.payload_offset;
    sample.data_size = parts.payload_size;
  }
  return sample;
}

std::size_t record_run_length(const OpenedCache& cache, std::uint64_t first, std::size_t limit) {
  if (limit == 0 || first >= cache.index.size()) return 0;
  const IndexRow& head = cache.index[first];
  if (head.shard_id >= cache.manifest.shards.size() || head.shard_id >= cache.shard_files.size() ||
      head.length > kRunRecordLimit) {
    return 0;
  }
  std::size_t count = 1;
  std::uint64_t end = head.offset + head.length;  // open_cache checked both against the shard's length
  std::uint64_t bytes = head.length;
  while (count < limit && first + count < cache.index.size()) {
    const IndexRow& row = cache.index[first + count];
    if (row.shard_id != head.shard_id || row.offset != end || row.length > kRunRecordLimit ||
        bytes + row.length > kRunByteLimit) {
      break;
    }
    end += row.length;
    bytes += row.length;
    ++count;
  }
  return count;
}

namespace read_sample_detail {

Result<const std::uint8_t*> read_run_bytes(const OpenedCache& cache, std::uint64_t first, std::size_t count,
                                           ShardReaderCache& readers) {
  const IndexRow& head = cache.index[first];
  const IndexRow& last = cache.index[first + count - 1];
  const std::size_t bytes = static_cast<std::size_t>(last.offset + last.length - head.offset);
  std::vector<std::uint8_t>& scratch = run_scratch();
  if (scratch.size() < bytes) scratch.resize(bytes);
  BRV_TRY(readers.read_exact(cache.shard_files[head.shard_id], head.offset, scratch.data(), bytes));
  return static_cast<const std::uint8_t*>(scratch.data());
}

Result<SampleData> decode_record_copy(const OpenedCache& cache, std::uint64_t sample_id, const std::uint8_t* record) {
  const IndexRow& row = cache.index[sample_id];
  const bool compressed = is_compressed(cache, row);
  SampleData sample;
  BRV_ASSIGN_OR_RETURN(RecordParts parts, decode_record(cache, sample_id, compressed, record,
                                                        static_cast<std::size_t>(row.length), sample));
  if (!compressed) {
    sample.buffer = std::make_unique_for_overwrite<std::uint8_t[]>(parts.payload_size);
    if (parts.payload_size != 0) std::memcpy(sample.buffer.get(), record + parts.payload_offset, parts.payload_size);
    sample.data_size = parts.payload_size;
  }
  return sample;
}

}  // namespace read_sample_detail

}  // namespace brivane
