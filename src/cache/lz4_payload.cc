#include "cache/lz4_payload.h"

#include <arrow/util/compression.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <string>

namespace brivane {
namespace {

constexpr std::size_t kPrefixSize = 4;
// Each input byte of an LZ4 block yields at most 255 output bytes (a match
// length continuation byte), so this bounds any block's output.
constexpr std::size_t kMaxExpansion = 255;

ModuleError decode_failure(const std::string& detail) {
  return ModuleError::invalid_cache("failed to decompress lz4 payload: " + detail);
}

// One raw-block codec per thread, made on first use: codecs are cheap to call
// but not to create, and sharing one across threads is not promised by Arrow.
Result<arrow::util::Codec*> thread_codec() {
  thread_local std::unique_ptr<arrow::util::Codec> codec;
  if (!codec) {
    auto created = arrow::util::Codec::Create(arrow::Compression::LZ4);
    if (!created.ok()) return ModuleError::arrow(created.status().ToString());
    codec = std::move(created).ValueUnsafe();
  }
  return codec.get();
}

std::uint32_t load_u32_le(const std::uint8_t* in) {
  return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
         static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
}

}  // namespace

std::size_t lz4_max_payload_size(std::size_t n) {
  // LZ4_COMPRESSBOUND, the worst case of an incompressible input.
  return kPrefixSize + n + n / 255 + 16;
}

Status check_lz4_data_size(std::size_t n) {
  if (n <= kLz4MaxDataSize) return ok_status();
  return ModuleError::invalid_argument("lz4 payload too large: " + std::to_string(n) + " bytes (limit " +
                                       std::to_string(kLz4MaxDataSize) + ")");
}

Result<std::size_t> write_lz4_payload(std::uint8_t* dst, const std::uint8_t* data, std::size_t n) {
  BRV_TRY(check_lz4_data_size(n));
  BRV_ASSIGN_OR_RETURN(arrow::util::Codec * codec, thread_codec());
  for (int i = 0; i < 4; ++i) dst[i] = static_cast<std::uint8_t>(n >> (8 * i));
  // LZ4 wants a real pointer even for empty input.
  static const std::uint8_t kNothing = 0;
  const std::size_t bound = lz4_max_payload_size(n) - kPrefixSize;
  auto written = codec->Compress(static_cast<std::int64_t>(n), n == 0 ? &kNothing : data,
                                 static_cast<std::int64_t>(bound), dst + kPrefixSize);
  if (!written.ok()) return ModuleError::arrow(written.status().ToString());
  return kPrefixSize + static_cast<std::size_t>(*written);
}

Status append_lz4_payload(std::string& out, const std::uint8_t* data, std::size_t n) {
  BRV_TRY(check_lz4_data_size(n));
  const std::size_t start = out.size();
  out.resize(start + lz4_max_payload_size(n));
  auto written = write_lz4_payload(reinterpret_cast<std::uint8_t*>(out.data()) + start, data, n);
  if (!written.ok()) {
    out.resize(start);
    return std::move(written).error();
  }
  out.resize(start + *written);
  return ok_status();
}

Result<std::size_t> lz4_decoded_capacity(const std::uint8_t* payload, std::size_t n) {
  if (n < kPrefixSize) return decode_failure("payload of " + std::to_string(n) + " bytes has no length prefix");
  const std::size_t announced = load_u32_le(payload);
  const std::size_t block = n - kPrefixSize;
  const std::size_t reachable = block > SIZE_MAX / kMaxExpansion ? SIZE_MAX : block * kMaxExpansion;
  return std::min({announced, reachable, static_cast<std::size_t>(INT_MAX)});
}

Result<std::size_t> decode_lz4_payload_into(const std::uint8_t* payload, std::size_t n, std::uint8_t* out,
                                            std::size_t capacity) {
  if (n < kPrefixSize) return decode_failure("payload of " + std::to_string(n) + " bytes has no length prefix");
  const std::size_t block = n - kPrefixSize;
  // A block of no bytes at all holds no sequences: empty data.
  if (block == 0) return std::size_t{0};
  if (block > static_cast<std::size_t>(INT_MAX)) {
    return decode_failure("block of " + std::to_string(block) + " bytes is too large");
  }
  capacity = std::min(capacity, static_cast<std::size_t>(INT_MAX));
  BRV_ASSIGN_OR_RETURN(arrow::util::Codec * codec, thread_codec());
  std::uint8_t spare = 0;
  auto decoded = codec->Decompress(static_cast<std::int64_t>(block), payload + kPrefixSize,
                                   static_cast<std::int64_t>(capacity), out != nullptr ? out : &spare);
  if (!decoded.ok()) {
    return decode_failure("malformed block, or data longer than " + std::to_string(load_u32_le(payload)) +
                          " bytes");
  }
  return static_cast<std::size_t>(*decoded);
}

Result<std::vector<std::uint8_t>> decode_lz4_payload(const std::uint8_t* payload, std::size_t n) {
  BRV_ASSIGN_OR_RETURN(std::size_t capacity, lz4_decoded_capacity(payload, n));
  std::vector<std::uint8_t> data(capacity);
  BRV_ASSIGN_OR_RETURN(std::size_t length, decode_lz4_payload_into(payload, n, data.data(), data.size()));
  data.resize(length);
  return data;
}

}  // namespace brivane
