#include "cache/index_row.h"

namespace brivane {

void encode_index_row(const IndexRow& row, std::uint8_t* out24) {
  store_u64_le(out24, row.shard_id);
  store_u64_le(out24 + 8, row.offset);
  store_u64_le(out24 + 16, row.length);
}

IndexRow decode_index_row(const std::uint8_t* in24) {
  return IndexRow{load_u64_le(in24), load_u64_le(in24 + 8), load_u64_le(in24 + 16)};
}

}  // namespace brivane
