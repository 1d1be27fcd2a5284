// One shard record: header split, embedded metadata, LZ4 payload.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "cache/embedded_metadata.h"
#include "cache/lz4_payload.h"
#include "cache/shard_record.h"
#include "fuzz_schema.h"

namespace {

// Both decoding paths must agree: the vector one and the caller-buffer one
// that the reader uses to fill a bytes object in place.
void check_payload(const std::uint8_t* payload, std::size_t n) {
  auto decoded = brivane::decode_lz4_payload(payload, n);
  auto capacity = brivane::lz4_decoded_capacity(payload, n);
  if (!capacity.ok()) {
    if (decoded.ok()) __builtin_trap();
    return;
  }
  std::vector<std::uint8_t> buffer(*capacity);
  auto length = brivane::decode_lz4_payload_into(payload, n, buffer.data(), buffer.size());
  if (decoded.ok() != length.ok()) __builtin_trap();
  if (!decoded.ok()) return;
  if (*length != decoded->size() || *length > buffer.size()) __builtin_trap();
  if (*length != 0 && std::memcmp(buffer.data(), decoded->data(), *length) != 0) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const brivane::MetadataSchema schema = brivane::fuzz::seed_schema();
  // Copy so the record ends exactly where the input does.
  std::vector<std::uint8_t> record(data, data + size);
  auto parts = brivane::split_record(record.data(), record.size());
  if (!parts.ok()) return 0;
  const auto& p = *parts;
  if (p.payload_offset > record.size() || p.payload_size > record.size() - p.payload_offset) __builtin_trap();
  if (p.metadata.data() < reinterpret_cast<const char*>(record.data()) ||
      p.metadata.data() + p.metadata.size() > reinterpret_cast<const char*>(record.data() + record.size()))
    __builtin_trap();
  (void)brivane::decode_embedded_metadata(p.metadata, schema);
  std::vector<std::uint8_t> payload(record.begin() + static_cast<std::ptrdiff_t>(p.payload_offset),
                                    record.begin() + static_cast<std::ptrdiff_t>(p.payload_offset + p.payload_size));
  check_payload(payload.data(), payload.size());
  return 0;
}
