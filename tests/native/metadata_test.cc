#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "cache/embedded_metadata.h"
#include "cache/metadata_schema.h"
#include "cache/metadata_value.h"

namespace brivane {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// ---- Fixing the schema and typing samples -------------------------------

TEST(TypeSampleMetadata, FirstSampleFixesTheSchemaInKeyOrder) {
  MetadataSchema schema;
  bool fixed = false;
  auto row = type_sample_metadata(schema, fixed, {{"b", std::int64_t{1}}, {"a", true}, {"c", 0.5}, {"d", "x"}});
  ASSERT_TRUE(row.ok());
  EXPECT_TRUE(fixed);
  EXPECT_EQ(schema, (MetadataSchema{{"a", MetadataKind::Bool},
                                    {"b", MetadataKind::Int},
                                    {"c", MetadataKind::Float},
                                    {"d", MetadataKind::String}}));
  EXPECT_EQ(*row, (MetadataRow{true, std::int64_t{1}, 0.5, std::string("x")}));

  auto next = type_sample_metadata(schema, fixed, {{"d", "y"}, {"c", -1.0}, {"b", std::int64_t{-2}}, {"a", false}});
  ASSERT_TRUE(next.ok());
  EXPECT_EQ(*next, (MetadataRow{false, std::int64_t{-2}, -1.0, std::string("y")}));
}

TEST(TypeSampleMetadata, LaterSamplesMustMatchTheSchema) {
  const MetadataSchema fixed_schema{{"a", MetadataKind::Bool}, {"b", MetadataKind::Int}, {"c", MetadataKind::Float}};
  struct Case {
    SampleMetadata metadata;
    std::string message;
  } cases[] = {
      {{{"a", true}, {"b", std::int64_t{1}}}, "metadata keys must be identical for every sample"},
      {{{"a", true}, {"b", std::int64_t{1}}, {"c", 1.0}, {"d", 1.0}}, "metadata keys must be identical for every sample"},
      {{{"a", true}, {"B", std::int64_t{1}}, {"c", 1.0}}, "metadata field 'b' is missing"},
      {{{"a", true}, {"b", 1.0}, {"c", 1.0}}, "metadata field 'b' expected int, got float"},
      {{{"a", std::int64_t{1}}, {"b", 1.0}, {"c", 1.0}}, "metadata field 'a' expected bool, got int"},
      {{{"a", true}, {"b", std::int64_t{1}}, {"c", "1.0"}}, "metadata field 'c' expected float, got string"},
      {{{"a", true}, {"b", std::int64_t{1}}, {"c", kNaN}}, "metadata field 'c' must be a finite float"},
      {{{"a", true}, {"b", std::int64_t{1}}, {"c", -kInf}}, "metadata field 'c' must be a finite float"},
  };
  for (const auto& c : cases) {
    MetadataSchema schema = fixed_schema;
    bool fixed = true;
    auto row = type_sample_metadata(schema, fixed, c.metadata);
    ASSERT_FALSE(row.ok()) << c.message;
    EXPECT_EQ(row.error().kind(), ErrorKind::InvalidArgument);
    EXPECT_EQ(row.error().payload(), c.message);
    EXPECT_EQ(schema, fixed_schema);
  }
}

TEST(TypeSampleMetadata, AnEmptyFirstSampleFixesAnEmptySchema) {
  MetadataSchema schema;
  bool fixed = false;
  ASSERT_TRUE(type_sample_metadata(schema, fixed, {}).ok());
  EXPECT_TRUE(fixed);
  EXPECT_TRUE(type_sample_metadata(schema, fixed, {}).ok());
  auto later = type_sample_metadata(schema, fixed, {{"a", true}});
  ASSERT_FALSE(later.ok());
  EXPECT_EQ(later.error().payload(), "metadata keys must be identical for every sample");
}

TEST(TypeSampleMetadata, ARefusedFirstSampleLeavesTheSchemaOpen) {
  MetadataSchema schema;
  bool fixed = false;
  auto row = type_sample_metadata(schema, fixed, {{"a", true}, {"x", kInf}});
  ASSERT_FALSE(row.ok());
  EXPECT_EQ(row.error().payload(), "metadata field 'x' must be a finite float");
  EXPECT_FALSE(fixed);
  EXPECT_TRUE(schema.empty());
}

TEST(RowsEqual, ComparesKindAndValue) {
  struct Case {
    MetadataRow a, b;
    bool equal;
  } cases[] = {
      {{}, {}, true},
      {{true, std::int64_t{3}, 1.5, std::string("s")}, {true, std::int64_t{3}, 1.5, std::string("s")}, true},
      {{0.0}, {-0.0}, true},
      {{kNaN}, {kNaN}, false},
      {{std::int64_t{1}}, {1.0}, false},
      {{std::int64_t{0}}, {false}, false},
      {{std::string("a")}, {std::string("a\0", 2)}, false},
      {{true}, {true, true}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(rows_equal(c.a, c.b), c.equal);
    EXPECT_EQ(rows_equal(c.b, c.a), c.equal);
  }
}

// ---- Embedded metadata -----------------------------------------------------

std::string encode(const MetadataSchema& schema, const MetadataRow& row) {
  std::string out = "prefix";
  append_embedded_metadata(out, schema, row);
  EXPECT_EQ(out.size(), 6 + embedded_metadata_size(schema, row));
  return out.substr(6);
}

TEST(EmbeddedMetadata, EncodesCompactlyInSchemaOrder) {
  struct Case {
    MetadataSchema schema;
    MetadataRow row;
    std::string json;
  } cases[] = {
      {{}, {}, "{}"},
      {{{"a", MetadataKind::Bool}, {"b", MetadataKind::Int}}, {true, std::int64_t{1}}, R"({"a":true,"b":1})"},
      {{{"f", MetadataKind::Bool}}, {false}, R"({"f":false})"},
      {{{"i", MetadataKind::Int}}, {std::numeric_limits<std::int64_t>::min()}, R"({"i":-9223372036854775808})"},
      {{{"x", MetadataKind::Float}}, {3.0}, R"({"x":3.0})"},
      {{{"x", MetadataKind::Float}}, {1e16}, R"({"x":1e16})"},
      {{{"x", MetadataKind::Float}}, {-2.5e-7}, R"({"x":-2.5e-7})"},
      {{{"x", MetadataKind::Float}}, {kNaN}, R"({"x":null})"},
      {{{"q\"\n", MetadataKind::String}}, {std::string("\\\x01\xC3\xA9")}, R"({"q\"\n":"\\\u0001)" "\xC3\xA9\"}"},
  };
  for (const auto& c : cases) EXPECT_EQ(encode(c.schema, c.row), c.json);
}

TEST(EmbeddedMetadata, WrittenRowsDecodeToTheSameRow) {
  MetadataSchema schema{{"a", MetadataKind::Bool},
                        {"b", MetadataKind::Int},
                        {"c", MetadataKind::Float},
                        {"d", MetadataKind::String},
                        {"e", MetadataKind::Float}};
  MetadataRow rows[] = {
      {true, std::int64_t{0}, 0.0, std::string(""), -0.0},
      {false, std::numeric_limits<std::int64_t>::max(), 0.1, std::string("x\"y\\z\x1f\0", 8), 5e-324},
      {true, std::numeric_limits<std::int64_t>::min(), 1e300, std::string("\xF0\x9F\x98\x80"), 123456.789},
  };
  for (const MetadataRow& row : rows) {
    std::string json = encode(schema, row);
    auto back = decode_embedded_metadata(json, schema);
    ASSERT_TRUE(back.ok()) << json << ": " << back.error().text();
    EXPECT_TRUE(rows_equal(*back, row)) << json;
    EXPECT_EQ(std::signbit(std::get<double>((*back)[4])), std::signbit(std::get<double>(row[4])));
  }
}

TEST(EmbeddedMetadata, DecodesEachJsonValueToItsKind) {
  const MetadataSchema one_float{{"v", MetadataKind::Float}};
  const MetadataSchema one_int{{"v", MetadataKind::Int}};
  struct Case {
    std::string json;
    const MetadataSchema& schema;
    MetadataValue value;
  } cases[] = {
      {R"({"v":3})", one_int, std::int64_t{3}},
      {R"({"v":-0})", one_int, std::int64_t{0}},
      {R"({"v":9223372036854775807})", one_int, std::numeric_limits<std::int64_t>::max()},
      {R"({"v":-9223372036854775808})", one_int, std::numeric_limits<std::int64_t>::min()},
      {R"({"v":9223372036854775808})", one_float, 9223372036854775808.0},
      {R"({"v":18446744073709551615})", one_float, 18446744073709551615.0},
      {R"({"v":-9223372036854775809})", one_float, -9223372036854775809.0},
      {R"({"v":3.0})", one_float, 3.0},
      {R"({"v":1e2})", one_float, 100.0},
      {R"({"v":1e-400})", one_float, 0.0},
      {R"({"v":1,"v":2.5})", one_float, 2.5},
      {" {\n\"v\" : 0.5 }\t", one_float, 0.5},
  };
  for (const auto& c : cases) {
    auto row = decode_embedded_metadata(c.json, c.schema);
    ASSERT_TRUE(row.ok()) << c.json << ": " << row.error().text();
    ASSERT_EQ(row->size(), 1u);
    EXPECT_EQ((*row)[0], c.value) << c.json;
  }
  auto repeated = decode_embedded_metadata(R"({"a":true,"b":1,"a":false})",
                                           {{"a", MetadataKind::Bool}, {"b", MetadataKind::Int}});
  ASSERT_TRUE(repeated.ok()) << repeated.error().text();
  EXPECT_EQ(*repeated, (MetadataRow{false, std::int64_t{1}}));
  auto strings = decode_embedded_metadata(R"({"b":true,"s":"a\u00e9\n\ud83d\ude00"})",
                                          {{"b", MetadataKind::Bool}, {"s", MetadataKind::String}});
  ASSERT_TRUE(strings.ok()) << strings.error().text();
  EXPECT_EQ(*strings, (MetadataRow{true, std::string("a\xC3\xA9\n\xF0\x9F\x98\x80")}));
}

TEST(EmbeddedMetadata, DecodeFailures) {
  const MetadataSchema schema{{"a", MetadataKind::Bool}, {"b", MetadataKind::Int}};
  const std::string untagged = "data did not match any variant of untagged enum MetadataValue";
  struct Case {
    std::string json;
    ErrorKind kind;
    std::string payload;
  } cases[] = {
      {R"({"a":null,"b":1})", ErrorKind::Json, untagged + " at line 1 column 9"},
      {R"({"a":true,"b":[1]})", ErrorKind::Json, untagged + " at line 1 column 15"},
      {R"({"a":true,"b":{}})", ErrorKind::Json, untagged + " at line 1 column 15"},
      {R"({"x":null,"a":true,"b":1})", ErrorKind::Json, untagged + " at line 1 column 9"},
      {R"({"a":true,"b":1e400})", ErrorKind::Json, "number out of range at line 1 column 15"},
      {R"({"a":true,"b":1.8e308})", ErrorKind::Json, "number out of range at line 1 column 21"},
      {R"({"a":true,"b":1)", ErrorKind::Json, "EOF while parsing an object at line 1 column 15"},
      {R"({"a":true,"b":1}x)", ErrorKind::Json, "trailing characters at line 1 column 17"},
      {std::string(R"({"a":true,"b":1})") + '\0', ErrorKind::Json, "trailing characters at line 1 column 17"},
      {"[true,1]", ErrorKind::Json, "invalid type: sequence, expected a map at line 1 column 1"},
      {"7", ErrorKind::Json, "invalid type: integer, expected a map at line 1 column 1"},
      {"", ErrorKind::Json, "EOF while parsing a value at line 1 column 0"},
      {R"({"a":tru})", ErrorKind::Json, "expected value at line 1 column 9"},
      {R"({"a":true})", ErrorKind::InvalidCache, "embedded metadata keys do not match schema"},
      {R"({"a":true,"b":1,"c":2})", ErrorKind::InvalidCache, "embedded metadata keys do not match schema"},
      {R"({"a":true,"a":false})", ErrorKind::InvalidCache, "embedded metadata keys do not match schema"},
      {R"({"a":true,"c":1})", ErrorKind::InvalidCache, "embedded metadata field 'b' is missing"},
      {R"({"a":true,"c":1,"c":2})", ErrorKind::InvalidCache, "embedded metadata field 'b' is missing"},
      {R"({"a":1,"b":true})", ErrorKind::InvalidCache, "embedded metadata field 'a' expected bool, got int"},
      {R"({"a":true,"b":1.0})", ErrorKind::InvalidCache, "embedded metadata field 'b' expected int, got float"},
      {R"({"a":true,"b":"1"})", ErrorKind::InvalidCache, "embedded metadata field 'b' expected int, got string"},
  };
  for (const auto& c : cases) {
    auto row = decode_embedded_metadata(c.json, schema);
    ASSERT_FALSE(row.ok()) << c.json;
    EXPECT_EQ(row.error().kind(), c.kind) << c.json;
    EXPECT_EQ(row.error().payload(), c.payload) << c.json;
  }
}

TEST(EmbeddedMetadata, ANonFiniteFloatWritesButNeverReadsBack) {
  const MetadataSchema schema{{"x", MetadataKind::Float}};
  std::string json = encode(schema, {kInf});
  EXPECT_EQ(json, R"({"x":null})");
  auto row = decode_embedded_metadata(json, schema);
  ASSERT_FALSE(row.ok());
  EXPECT_EQ(row.error().kind(), ErrorKind::Json);
}

TEST(EmbeddedMetadata, ReadsOnlyTheGivenBytes) {
  // Records carry the payload right after the metadata: decoding must stop at
  // the length it was given.
  const MetadataSchema schema{{"a", MetadataKind::Int}};
  std::string record = R"({"a":12})" "3456 payload";
  auto row = decode_embedded_metadata(std::string_view(record).substr(0, 8), schema);
  ASSERT_TRUE(row.ok()) << row.error().text();
  EXPECT_EQ(*row, (MetadataRow{std::int64_t{12}}));
}

}  // namespace
}  // namespace brivane
