// index.bin: one fixed-width row per sample locating its record in a shard.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brivane {

struct IndexRow {
  std::uint64_t shard_id = 0;
  std::uint64_t offset = 0;  // byte position of the record in its shard file
  std::uint64_t length = 0;  // byte length of the record
  bool operator==(const IndexRow&) const = default;
};

inline constexpr std::size_t kIndexRowSize = 24;

// Three little-endian u64 values: shard_id, offset, length.
void encode_index_row(const IndexRow& row, std::uint8_t* out24);
IndexRow decode_index_row(const std::uint8_t* in24);

// Every integer in cache files is little-endian, whatever the host is.
inline void store_u64_le(std::uint8_t* out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline std::uint64_t load_u64_le(const std::uint8_t* in) {
  std::uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value |= static_cast<std::uint64_t>(in[i]) << (8 * i);
  return value;
}

}  // namespace brivane
