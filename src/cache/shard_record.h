// Splitting one shard record into its embedded metadata and its payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "runtime/error.h"

namespace brivane {

// Byte length of the little-endian metadata length that opens every record.
inline constexpr std::size_t kRecordHeaderSize = 8;

// Views into a record; they borrow the record's bytes.
struct RecordParts {
  std::string_view metadata;  // the embedded JSON
  std::size_t payload_offset = 0;
  std::size_t payload_size = 0;
};

// Fails with InvalidCache "invalid binary record" for a record shorter than
// its header or its declared metadata, and "metadata record length overflowed"
// for a metadata length whose header sum does not fit 64 bits.
Result<RecordParts> split_record(const std::uint8_t* record, std::size_t length);

}  // namespace brivane
