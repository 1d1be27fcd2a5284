#include "cache/shard_record.h"

#include <limits>

#include "cache/index_row.h"

namespace brivane {

Result<RecordParts> split_record(const std::uint8_t* record, std::size_t length) {
  if (length < kRecordHeaderSize) return ModuleError::invalid_cache("invalid binary record");
  const std::uint64_t n = load_u64_le(record);
  if (n > std::numeric_limits<std::uint64_t>::max() - kRecordHeaderSize) {
    return ModuleError::invalid_cache("metadata record length overflowed");
  }
  if (length < n + kRecordHeaderSize) return ModuleError::invalid_cache("invalid binary record");
  RecordParts parts;
  parts.metadata = std::string_view(reinterpret_cast<const char*>(record) + kRecordHeaderSize, n);
  parts.payload_offset = kRecordHeaderSize + n;
  parts.payload_size = length - parts.payload_offset;
  return parts;
}

}  // namespace brivane
