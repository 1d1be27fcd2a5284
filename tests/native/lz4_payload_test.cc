#include "cache/lz4_payload.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace brivane {
namespace {

std::vector<std::uint8_t> as_bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::uint32_t prefix_of(const std::string& payload) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(payload[i])) << (8 * i);
  return v;
}

Result<std::vector<std::uint8_t>> decode(const std::string& payload) {
  return decode_lz4_payload(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size());
}

void expect_decode_failure(const std::string& payload) {
  auto decoded = decode(payload);
  ASSERT_FALSE(decoded.ok());
  EXPECT_EQ(decoded.error().kind(), ErrorKind::InvalidCache);
  EXPECT_EQ(decoded.error().payload().rfind("failed to decompress lz4 payload: ", 0), 0u) << decoded.error().payload();
}

std::vector<std::uint8_t> random_bytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<std::uint8_t> out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(gen());
  return out;
}

TEST(Lz4Payload, RoundTripsAndPrefixesTheDataLength) {
  const std::vector<std::vector<std::uint8_t>> cases = {
      {},
      as_bytes("x"),
      as_bytes(std::string(100000, 'a')),
      as_bytes("abcabcabcabcabcabcabcabcabcabcabcabcabcabc the quick brown fox"),
      random_bytes(70000, 7),
  };
  for (const auto& data : cases) {
    std::string payload = "head";  // appends after what is there
    ASSERT_TRUE(append_lz4_payload(payload, data.data(), data.size()).ok());
    ASSERT_EQ(payload.substr(0, 4), "head");
    const std::string own = payload.substr(4);
    EXPECT_EQ(prefix_of(own), data.size());
    EXPECT_LE(own.size(), lz4_max_payload_size(data.size()));
    auto decoded = decode(own);
    ASSERT_TRUE(decoded.ok()) << decoded.error().text();
    EXPECT_EQ(*decoded, data);
  }
}

TEST(Lz4Payload, EmptyDataIsPrefixZeroAndAValidEmptyBlock) {
  std::string payload;
  ASSERT_TRUE(append_lz4_payload(payload, nullptr, 0).ok());
  ASSERT_GT(payload.size(), 4u);
  EXPECT_EQ(prefix_of(payload), 0u);
  auto decoded = decode(payload);
  ASSERT_TRUE(decoded.ok()) << decoded.error().text();
  EXPECT_TRUE(decoded->empty());
}

TEST(Lz4Payload, PrefixOnlyPayloadIsEmptyData) {
  for (const std::string& payload : {std::string(4, '\0'), std::string("\x09\0\0\0", 4)}) {
    auto decoded = decode(payload);
    ASSERT_TRUE(decoded.ok()) << decoded.error().text();
    EXPECT_TRUE(decoded->empty());
  }
}

TEST(Lz4Payload, DecodesABlockMadeByHand) {
  // One literal-only sequence, then a literal and a 17-byte overlapping match
  // ending in the five trailing literals the format asks for.
  const std::string literals("\x05\0\0\0\x50hello", 10);
  auto decoded = decode(literals);
  ASSERT_TRUE(decoded.ok()) << decoded.error().text();
  EXPECT_EQ(*decoded, as_bytes("hello"));

  const std::string matched("\x17\0\0\0\x1d" "a\x01\0" "\x50" "bcdef", 14);
  decoded = decode(matched);
  ASSERT_TRUE(decoded.ok()) << decoded.error().text();
  EXPECT_EQ(*decoded, as_bytes(std::string(18, 'a') + "bcdef"));
}

TEST(Lz4Payload, ShorterOutputThanPrefixIsAccepted) {
  const auto data = as_bytes(std::string(300, 'q'));
  std::string payload;
  ASSERT_TRUE(append_lz4_payload(payload, data.data(), data.size()).ok());
  payload[0] = '\xff';
  payload[1] = '\xff';
  payload[2] = '\xff';
  payload[3] = '\xff';
  // A lying prefix must not make the decoder reserve gigabytes.
  auto capacity = lz4_decoded_capacity(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size());
  ASSERT_TRUE(capacity.ok());
  EXPECT_LE(*capacity, (payload.size() - 4) * 255);
  auto decoded = decode(payload);
  ASSERT_TRUE(decoded.ok()) << decoded.error().text();
  EXPECT_EQ(*decoded, data);
}

TEST(Lz4Payload, MalformedPayloadsFailAsInvalidCache) {
  const auto data = as_bytes(std::string(300, 'q') + "tail of literals");
  std::string good;
  ASSERT_TRUE(append_lz4_payload(good, data.data(), data.size()).ok());

  std::string short_bound = good;
  short_bound[0] = static_cast<char>(data.size() - 1);
  short_bound[1] = static_cast<char>((data.size() - 1) >> 8);

  const std::vector<std::string> cases = {
      std::string(),                                  // no prefix at all
      std::string("\x01\0\0", 3),                     // three bytes
      std::string("\x0a\0\0\0\xf0", 5),               // literal length continues past the end
      std::string("\x0a\0\0\0\x50" "ab", 7),          // literal run overruns the input
      std::string("\x0a\0\0\0\x14" "a\0\0", 8),       // match offset 0
      std::string("\x0a\0\0\0\x14" "a\x09\0", 8),     // match offset beyond the output
      good.substr(0, good.size() - 3),                // block ends inside a sequence
      short_bound,                                    // output would exceed the prefix
  };
  for (const auto& payload : cases) {
    SCOPED_TRACE(payload.size());
    expect_decode_failure(payload);
  }
}

TEST(Lz4Payload, DataBeyondTheBlockLimitIsRefusedUntouched) {
  std::string out = "keep";
  static const std::uint8_t byte = 0;
  // The size alone decides; the data is never read.
  auto status = append_lz4_payload(out, &byte, kLz4MaxDataSize + 1);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().kind(), ErrorKind::InvalidArgument);
  EXPECT_EQ(status.error().payload(), "lz4 payload too large: 2113929217 bytes (limit 2113929216)");
  EXPECT_EQ(out, "keep");
}

}  // namespace
}  // namespace brivane
