// Floats read from JSON keep the value their text spells, including the
// spellings of zero that RapidJSON's own full-precision conversion gets wrong.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <utility>
#include <string>
#include <variant>

#include "cache/embedded_metadata.h"
#include "cache/manifest.h"

namespace brivane {
namespace {

struct FloatCase {
  std::string text;
  double value;
};

// 0e74 and its kin went through an undefined clz(0) and came back as
// -1e-53; long mantissas read past RapidJSON's table of powers of ten; the
// others pin correct rounding and the ends of the range.
const FloatCase kCases[] = {
    {"1" + std::string(300, '0') + "e-250", 1e50},
    {"0." + std::string(400, '0') + "1e400", 0.1},
    {"0e74", 0.0},
    {"-0e74", -0.0},
    {"0.000e300", 0.0},
    {"0E+30", 0.0},
    {"0e-400", 0.0},
    {"0.1", 0.1},
    {"2.2250738585072011e-308", 2.2250738585072011e-308},
    {"1.7976931348623157e308", 1.7976931348623157e308},
    {"123456789012345678901234567890e-10", 12345678901234567890.1234567890},
    {"4.9e-324", 4.9e-324},
    {"2e-324", 0.0},
    {"-1e-400", -0.0},
};

void expect_same(double got, double want, const std::string& text) {
  EXPECT_EQ(got, want) << text;
  EXPECT_EQ(std::signbit(got), std::signbit(want)) << text;
}

TEST(JsonFloatText, EmbeddedMetadataReadsTheSpelledValue) {
  const MetadataSchema schema{{"x", MetadataKind::Float}};
  for (const auto& c : kCases) {
    auto row = decode_embedded_metadata("{\"x\":" + c.text + "}", schema);
    ASSERT_TRUE(row.ok()) << c.text << ": " << row.error().text();
    expect_same(std::get<double>((*row)[0]), c.value, c.text);
  }
}

TEST(JsonFloatText, ManifestRatioReadsTheSpelledValue) {
  for (const auto& c : kCases) {
    const std::string text = std::string(R"({"format_version":2,"source_name":"s","sample_count":0,)") +
                             R"("metadata_schema":[],"metadata_sha256":"a","index_sha256":"b",)" +
                             R"("shards":[{"name":"000000.bin","uncompressed_byte_len":0,"byte_len":0,)" +
                             R"("compression":{"algo":"none","ratio":)" + c.text + R"(},"sha256":"c"}]})";
    auto manifest = parse_manifest_text(text);
    ASSERT_TRUE(manifest.ok()) << c.text << ": " << manifest.error().text();
    expect_same(manifest->shards.at(0).compression.ratio, c.value, c.text);
  }
}

TEST(JsonFloatText, BeyondTheDoubleRangeIsOutOfRange) {
  const MetadataSchema schema{{"x", MetadataKind::Float}};
  for (const std::string& text : {"9" + std::string(200, '8') + "0E195", std::string("1.7976931348623159e308"),
                                 std::string("-1e308") + "0"}) {
    auto row = decode_embedded_metadata("{\"x\":" + text + "}", schema);
    ASSERT_FALSE(row.ok()) << text;
    EXPECT_EQ(row.error().kind(), ErrorKind::Json) << text;
    EXPECT_NE(row.error().text().find("number out of range"), std::string::npos) << row.error().text();
  }
}

TEST(JsonFloatText, IntegersStayIntegersUpToTheirLimits) {
  const MetadataSchema schema{{"n", MetadataKind::Int}};
  for (const auto& [text, value] : {std::pair{"-9223372036854775808", INT64_MIN}, std::pair{"9223372036854775807", INT64_MAX},
                                    std::pair{"-0", std::int64_t{0}}}) {
    auto row = decode_embedded_metadata(std::string("{\"n\":") + text + "}", schema);
    ASSERT_TRUE(row.ok()) << text << ": " << row.error().text();
    EXPECT_EQ(std::get<std::int64_t>((*row)[0]), value);
  }
  // One past int64 is a float, which the schema refuses.
  EXPECT_FALSE(decode_embedded_metadata(R"({"n":9223372036854775808})", schema).ok());
}

TEST(JsonStringText, LoneLowSurrogateEscapeIsRefused) {
  const MetadataSchema schema{{"s", MetadataKind::String}};
  auto lone = decode_embedded_metadata(R"({"s":"a\udf66b"})", schema);
  ASSERT_FALSE(lone.ok());
  EXPECT_EQ(lone.error().kind(), ErrorKind::Json);
  EXPECT_NE(lone.error().text().find("invalid surrogate pair in \\u escape"), std::string::npos) << lone.error().text();
  // A proper pair still decodes, to U+1F600.
  auto pair = decode_embedded_metadata(R"({"s":"\ud83d\ude00"})", schema);
  ASSERT_TRUE(pair.ok()) << pair.error().text();
  EXPECT_EQ(std::get<std::string>((*pair)[0]), "\xF0\x9F\x98\x80");
}

}  // namespace
}  // namespace brivane
