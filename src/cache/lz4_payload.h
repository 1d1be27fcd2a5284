// Compressed record payloads: the data length as 4 little-endian bytes, then
// the data as one raw LZ4 block (no frame, no checksum).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "runtime/error.h"

namespace brivane {

// Longest data one block can hold. The LZ4 block library refuses longer input
// (its LZ4_MAX_INPUT_SIZE), which is less than the 4-byte prefix could describe.
inline constexpr std::size_t kLz4MaxDataSize = 0x7E000000;

// InvalidArgument "lz4 payload too large: ..." beyond kLz4MaxDataSize.
Status check_lz4_data_size(std::size_t n);

// Upper bound of the bytes append_lz4_payload adds for `n` bytes of data.
std::size_t lz4_max_payload_size(std::size_t n);

// Writes the payload of `data` at `dst`, which holds lz4_max_payload_size(n)
// bytes, and returns its length. Data longer than kLz4MaxDataSize is refused
// with InvalidArgument.
Result<std::size_t> write_lz4_payload(std::uint8_t* dst, const std::uint8_t* data, std::size_t n);

// The same, appended to `out` (left unchanged on failure).
Status append_lz4_payload(std::string& out, const std::uint8_t* data, std::size_t n);

// The data of a payload. Output shorter than the prefix announces is accepted;
// every failure is InvalidCache "failed to decompress lz4 payload: {detail}".
Result<std::vector<std::uint8_t>> decode_lz4_payload(const std::uint8_t* payload, std::size_t n);

// For decoding into a buffer of the caller's (such as the bytes object handed
// to Python): the buffer size the payload needs, which is the prefix capped by
// what the block can expand to, so a lying prefix cannot force a huge buffer.
Result<std::size_t> lz4_decoded_capacity(const std::uint8_t* payload, std::size_t n);

// Decodes into `out` (at least lz4_decoded_capacity bytes); returns the data length.
Result<std::size_t> decode_lz4_payload_into(const std::uint8_t* payload, std::size_t n, std::uint8_t* out,
                                            std::size_t capacity);

}  // namespace brivane
