#include "cache/cache_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <system_error>
#include <utility>

#include "cache/embedded_metadata.h"
#include "cache/file_io.h"
#include "cache/lz4_payload.h"
#include "cache/metadata_schema.h"
#include "cache/metadata_table.h"
#include "cache/sha256.h"

namespace brivane {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kRecordHeaderBytes = 8;
// A buffer grown for one huge record is given back once records are much smaller.
constexpr std::size_t kKeptRecordBuffer = 64 * 1024 * 1024;

std::chrono::nanoseconds since(Clock::time_point start, Clock::time_point end) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(end - start);
}

Status write_index_file(const std::filesystem::path& path, const std::vector<IndexRow>& index) {
  BRV_ASSIGN_OR_RETURN(BufferedFileWriter file, BufferedFileWriter::create(path));
  std::uint8_t row_bytes[kIndexRowSize];
  for (const IndexRow& row : index) {
    encode_index_row(row, row_bytes);
    BRV_TRY(file.write(row_bytes, kIndexRowSize));
  }
  return file.close();
}

}  // namespace

CacheWriter::CacheWriter(std::filesystem::path dir, std::string source_name, std::uint64_t max_shard_bytes,
                         ShardCompression compression, ShardWriter shard)
    : dir_(std::move(dir)),
      source_name_(std::move(source_name)),
      max_shard_bytes_(max_shard_bytes),
      compression_(compression),
      current_(std::move(shard)) {}

Result<CacheWriter> CacheWriter::create(const std::filesystem::path& dir, std::string source_name,
                                        std::uint64_t max_shard_bytes, ShardCompression compression) {
  if (path_exists(dir)) return ModuleError::invalid_argument("cache path already exists: " + path_text(dir));
  std::error_code error;
  std::filesystem::create_directories(dir / "shards", error);  // mode 0777 before the umask
  if (error) return ModuleError::io(os_error_text(error.value()));
  BRV_ASSIGN_OR_RETURN(ShardWriter shard, ShardWriter::open(dir, 0));
  return CacheWriter(dir, std::move(source_name), max_shard_bytes, compression, std::move(shard));
}

Result<std::uint8_t*> CacheWriter::record_space(std::size_t n) {
  const bool grow = n > record_capacity_;
  const bool shrink = record_capacity_ > kKeptRecordBuffer && n < record_capacity_ / 4;
  if (grow || shrink) {
    // Growing by half at least keeps slowly rising record sizes from reallocating every time.
    std::size_t capacity = n;
    if (grow && record_capacity_ <= std::numeric_limits<std::size_t>::max() / 3) {
      capacity = std::max(n, record_capacity_ + record_capacity_ / 2);
    }
    record_.reset();
    record_capacity_ = 0;
    // Uninitialised on purpose: every byte of a record is written before use.
    record_.reset(new (std::nothrow) std::uint8_t[capacity]);
    if (!record_) return ModuleError::io_errno(ENOMEM);
    record_capacity_ = capacity;
  }
  return record_.get();
}

Status CacheWriter::roll_over_if_full(std::uint64_t record_length) {
  const std::uint64_t used = current_.byte_count();
  // A still-empty shard always takes the record, so records are never split.
  if (used == 0 || (used <= max_shard_bytes_ && record_length <= max_shard_bytes_ - used)) return ok_status();
  if (current_.number() == std::numeric_limits<std::uint64_t>::max()) {
    return ModuleError::invalid_argument("shard number overflowed u64");
  }
  BRV_ASSIGN_OR_RETURN(ShardWriter next, ShardWriter::open(dir_, current_.number() + 1));
  ShardWriter previous = std::exchange(current_, std::move(next));
  BRV_ASSIGN_OR_RETURN(ShardManifest closed, std::move(previous).finish(compression_));
  finished_shards_.push_back(std::move(closed));
  return ok_status();
}

Result<AppendResult> CacheWriter::append(const std::uint8_t* data, std::size_t n, const SampleMetadata& metadata) {
  // The clock is read as few times as the spans need: at these rates a clock
  // read costs as much as a small step.
  AppendResult result;
  result.data_length = n;
  const bool lz4 = compression_.algo == CompressionAlgo::Lz4;

  const Clock::time_point validate_start = Clock::now();
  BRV_ASSIGN_OR_RETURN(MetadataRow row, type_sample_metadata(schema_, schema_fixed_, metadata));
  const Clock::time_point encode_start = Clock::now();
  result.metadata_validate = since(validate_start, encode_start);

  // Size the record and find room for it, so that the payload can be
  // compressed straight into its final place.
  if (row.size() != schema_.size()) {
    return ModuleError::invalid_argument("metadata row length does not match schema");
  }
  if (lz4) BRV_TRY(check_lz4_data_size(n));
  const std::size_t metadata_length = embedded_metadata_size(schema_, row);
  const std::size_t payload_room = lz4 ? lz4_max_payload_size(n) : n;
  const std::size_t before_payload = kRecordHeaderBytes + metadata_length;
  if (payload_room > std::numeric_limits<std::size_t>::max() - before_payload) {
    return ModuleError::invalid_argument("record length overflowed usize");
  }
  // With none the data itself is the payload and goes to the shard from
  // where it is: only the header and the metadata are assembled.
  BRV_ASSIGN_OR_RETURN(std::uint8_t* const record, record_space(before_payload + (lz4 ? payload_room : 0)));

  std::size_t payload_length = n;
  Clock::time_point assembly_start = encode_start;
  if (lz4) {
    const Clock::time_point compression_start = Clock::now();
    result.record_encode = since(encode_start, compression_start);
    BRV_ASSIGN_OR_RETURN(payload_length, write_lz4_payload(record + before_payload, data, n));
    assembly_start = Clock::now();
    result.compression = since(compression_start, assembly_start);
  }

  store_u64_le(record, metadata_length);
  char* const metadata_start = reinterpret_cast<char*>(record + kRecordHeaderBytes);
  const char* const metadata_end = write_embedded_metadata(metadata_start, schema_, row);
  if (static_cast<std::size_t>(metadata_end - metadata_start) != metadata_length) {
    return ModuleError::internal_fault("embedded metadata length differs from its computed size");
  }
  const std::size_t record_length = before_payload + payload_length;
  Clock::time_point write_start = Clock::now();
  result.record_encode += since(assembly_start, write_start);

  // A shard change lies outside every timed span.
  const std::uint64_t shard_before = current_.number();
  BRV_TRY(roll_over_if_full(record_length));
  if (current_.number() != shard_before) write_start = Clock::now();

  const std::uint64_t offset = current_.byte_count();
  if (lz4) {
    BRV_TRY(current_.write(record, record_length, {}, n));
  } else {
    BRV_TRY(current_.write(record, before_payload, {data, n}, n));
  }
  index_.push_back(IndexRow{current_.number(), offset, record_length});
  rows_.push_back(std::move(row));
  result.disk_write = since(write_start, Clock::now());
  result.record_length = record_length;
  return result;
}

Result<AppendResult> CacheWriter::append(std::vector<std::uint8_t>&& data, const SampleMetadata& metadata) {
  const std::vector<std::uint8_t> owned = std::move(data);
  return append(owned.data(), owned.size(), metadata);
}

Result<FinishedCache> CacheWriter::finish() && {
  if (index_.empty()) return ModuleError::invalid_argument("cache source yielded no samples");
  FinishedCache finished;

  const Clock::time_point flush_start = Clock::now();
  BRV_ASSIGN_OR_RETURN(ShardManifest last, std::move(current_).finish(compression_));
  finished_shards_.push_back(std::move(last));
  const Clock::time_point metadata_start = Clock::now();

  const std::filesystem::path metadata_path = dir_ / "metadata.arrow";
  BRV_TRY(write_metadata_table(metadata_path, schema_, rows_));
  std::vector<MetadataRow>().swap(rows_);  // written out; not needed any more
  BRV_ASSIGN_OR_RETURN(std::string metadata_sha256, sha256_file(metadata_path));
  const Clock::time_point index_start = Clock::now();

  const std::filesystem::path index_path = dir_ / "index.bin";
  BRV_TRY(write_index_file(index_path, index_));
  BRV_ASSIGN_OR_RETURN(std::string index_sha256, sha256_file(index_path));
  const Clock::time_point manifest_start = Clock::now();

  Manifest& manifest = finished.manifest;
  manifest.format_version = kFormatVersion;
  manifest.source_name = std::move(source_name_);
  manifest.sample_count = index_.size();
  manifest.metadata_schema = std::move(schema_);
  manifest.metadata_sha256 = std::move(metadata_sha256);
  manifest.index_sha256 = std::move(index_sha256);
  manifest.shards = std::move(finished_shards_);
  BRV_TRY(write_manifest_file(dir_ / "manifest.json", manifest));
  const Clock::time_point manifest_end = Clock::now();

  finished.shard_flush = since(flush_start, metadata_start);
  finished.finish_metadata = since(metadata_start, index_start);
  finished.finish_index = since(index_start, manifest_start);
  finished.finish_manifest = since(manifest_start, manifest_end);
  return finished;
}

}  // namespace brivane
