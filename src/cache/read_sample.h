// Reading one sample of an opened cache.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

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

}  // namespace brivane
