// Reading one sample of an opened cache.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>

#include "cache/metadata_value.h"
#include "cache/opened_cache.h"
#include "cache/shard_reader_cache.h"
#include "runtime/error.h"

namespace brivane {

// One sample as read. The data lives in `buffer` from `data_offset` on: for
// an uncompressed record the buffer is the whole record as read from the
// shard, so the payload is never copied in user space; for lz4 it is the
// decoded data alone. The buffer is allocated without zero-filling, since the
// read or the decoder overwrites every byte handed out (for 1 MiB records
// zero-filling alone cost about an eighth of the read). Handing the data to
// Python copies it once more (a bytes object owns its storage), which no
// buffer type here could avoid.
struct SampleData {
  std::unique_ptr<std::uint8_t[]> buffer;
  std::size_t data_offset = 0;
  std::size_t data_size = 0;
  MetadataRow metadata;

  std::span<const std::uint8_t> data() const { return {buffer.get() + data_offset, data_size}; }
};

// Reads sample `sample_id` of `cache` through the calling thread's
// `readers`: locates the record, decodes its embedded metadata (comparing it
// with metadata.arrow when the cache was opened with validation), then
// decodes the payload. Safe on one cache from many threads, each with its own
// reader cache.
Result<SampleData> read_sample(const OpenedCache& cache, std::uint64_t sample_id, ShardReaderCache& readers);

// Neighbouring small records are read together: one positioned read costs
// about as much as copying a kilobyte, so for small samples the system call,
// not the bytes, was the price of a read.
inline constexpr std::size_t kRunRecordLimit = 64u << 10;  // a larger record is read on its own
inline constexpr std::size_t kRunByteLimit = 1u << 20;     // bytes of one combined read

// How many samples from `first` on (at most `limit`) have records that follow
// one another without a gap in one shard, each at most kRunRecordLimit bytes
// and together at most kRunByteLimit. 1 when the next record does not
// qualify; 0 when `first` is not a sample that a run could start with (its
// own read_sample then reports why).
std::size_t record_run_length(const OpenedCache& cache, std::uint64_t first, std::size_t limit);

// Reads the `count` samples from `first` on, a run that record_run_length
// measured, with one read, and hands each to `take` exactly as read_sample
// would have returned it. Should the combined read fail, the samples are read
// one by one, so that a failure is reported for the sample it belongs to
// after the samples before it were handed on. Stops at the first failure.
template <class Take>  // void(SampleData&&)
Status read_record_run(const OpenedCache& cache, std::uint64_t first, std::size_t count, ShardReaderCache& readers,
                       Take&& take);

namespace read_sample_detail {
// The bytes of the whole run, in a buffer of the calling thread that the next
// run overwrites.
Result<const std::uint8_t*> read_run_bytes(const OpenedCache& cache, std::uint64_t first, std::size_t count,
                                           ShardReaderCache& readers);
// Sample `sample_id` from its record, already in memory.
Result<SampleData> decode_record_copy(const OpenedCache& cache, std::uint64_t sample_id, const std::uint8_t* record);
}  // namespace read_sample_detail

template <class Take>
Status read_record_run(const OpenedCache& cache, std::uint64_t first, std::size_t count, ShardReaderCache& readers,
                       Take&& take) {
  Result<const std::uint8_t*> bytes = read_sample_detail::read_run_bytes(cache, first, count, readers);
  if (!bytes.ok()) {
    for (std::size_t k = 0; k < count; ++k) {
      BRV_ASSIGN_OR_RETURN(SampleData sample, read_sample(cache, first + k, readers));
      take(std::move(sample));
    }
    return ok_status();
  }
  const std::uint64_t base = cache.index[first].offset;
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint8_t* record = *bytes + (cache.index[first + k].offset - base);
    BRV_ASSIGN_OR_RETURN(SampleData sample, read_sample_detail::decode_record_copy(cache, first + k, record));
    take(std::move(sample));
  }
  return ok_status();
}

}  // namespace brivane
