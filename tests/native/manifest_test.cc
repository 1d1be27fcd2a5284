#include "cache/manifest.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <string>

#include "cache/file_io.h"
#include "cache/json_text.h"

namespace brivane {
namespace {

namespace fs = std::filesystem;

std::string read_text(const fs::path& path) {
  auto bytes = read_whole_file(path);
  EXPECT_TRUE(bytes.ok());
  return {bytes->begin(), bytes->end()};
}

std::string hex(char digit) { return std::string(64, digit); }

Manifest one_column_one_shard() {
  Manifest m;
  m.source_name = "train";
  m.sample_count = 3;
  m.metadata_schema = {{"label", MetadataKind::Int}};
  m.metadata_sha256 = hex('a');
  m.index_sha256 = hex('b');
  m.shards = {{"000000.bin", 4096, 1310, {CompressionAlgo::Lz4, 1.0}, hex('c')}};
  return m;
}

class ManifestFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/brivane_manifest_XXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    dir_ = templ;
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path manifest_path() const { return dir_ / "manifest.json"; }
  fs::path dir_;
};

TEST_F(ManifestFileTest, WritesTheExactPrettyText) {
  ASSERT_TRUE(write_manifest_file(manifest_path(), one_column_one_shard()).ok());
  const std::string expected = R"({
  "format_version": 2,
  "source_name": "train",
  "sample_count": 3,
  "metadata_schema": [
    {
      "name": "label",
      "kind": "int"
    }
  ],
  "metadata_sha256": ")" + hex('a') + R"(",
  "index_sha256": ")" + hex('b') + R"(",
  "shards": [
    {
      "name": "000000.bin",
      "uncompressed_byte_len": 4096,
      "byte_len": 1310,
      "compression": {
        "algo": "lz4",
        "ratio": 1.0
      },
      "sha256": ")" + hex('c') + R"("
    }
  ]
})";
  EXPECT_EQ(read_text(manifest_path()), expected);
  auto back = read_manifest_file(dir_);
  ASSERT_TRUE(back.ok()) << back.error().text();
  EXPECT_EQ(*back, one_column_one_shard());
}

TEST_F(ManifestFileTest, EmptyListsStayOnTheKeyLine) {
  Manifest m = one_column_one_shard();
  m.metadata_schema.clear();
  m.shards.clear();
  ASSERT_TRUE(write_manifest_file(manifest_path(), m).ok());
  std::string text = read_text(manifest_path());
  EXPECT_NE(text.find("\n  \"metadata_schema\": [],\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\n  \"shards\": []\n}"), std::string::npos) << text;
  EXPECT_EQ(read_manifest_file(dir_).value(), m);
}

TEST_F(ManifestFileTest, ManyShardsAndSpecialStringsSurviveARoundTrip) {
  Manifest m = one_column_one_shard();
  m.source_name = std::string("q\"b\\s/\b\t\n\f\r\x01\x1f\x7f caf\xC3\xA9 \xF0\x9F\x98\x80 nul:") + '\0' + "end";
  m.metadata_schema = {{"k\"\\\x02", MetadataKind::String}, {"\xCE\xB1", MetadataKind::Float},
                       {"b", MetadataKind::Bool}};
  m.shards.clear();
  // Enough shards that the text passes through the file in several pieces.
  for (std::uint64_t i = 0; i < 300; ++i) {
    m.shards.push_back({std::to_string(i), i * 1000, ~std::uint64_t{0} - i, {CompressionAlgo::None, 0.1 * i},
                        hex('d')});
  }
  m.sample_count = ~std::uint64_t{0};
  ASSERT_TRUE(write_manifest_file(manifest_path(), m).ok());
  std::string text = read_text(manifest_path());
  EXPECT_NE(text.find(R"("q\"b\\s/\b\t\n\f\r\u0001\u001f)"), std::string::npos) << text.substr(0, 200);
  EXPECT_NE(text.find("\x7f caf\xC3\xA9 \xF0\x9F\x98\x80 nul:\\u0000end\""), std::string::npos);
  auto back = read_manifest_file(dir_);
  ASSERT_TRUE(back.ok()) << back.error().text();
  EXPECT_EQ(*back, m);
}

TEST_F(ManifestFileTest, CreateAndFlushFailuresAreIo) {
  Status missing_dir = write_manifest_file(dir_ / "absent" / "manifest.json", one_column_one_shard());
  ASSERT_FALSE(missing_dir.ok());
  EXPECT_EQ(missing_dir.error().kind(), ErrorKind::Io);
  Status full = write_manifest_file("/dev/full", one_column_one_shard());
  ASSERT_FALSE(full.ok());
  EXPECT_EQ(full.error().kind(), ErrorKind::Io);
}

TEST_F(ManifestFileTest, MissingManifestNamesTheFile) {
  auto missing = read_manifest_file(dir_);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind(), ErrorKind::InvalidCache);
  EXPECT_EQ(missing.error().payload(), "missing manifest: " + manifest_path().string());
}

TEST_F(ManifestFileTest, ManifestThatCannotBeOpenedIsIo) {
  // A socket exists for stat() but refuses open(), whoever the user is.
  int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string path = manifest_path().string();
  ASSERT_LT(path.size(), sizeof addr.sun_path);
  path.copy(addr.sun_path, path.size());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  auto result = read_manifest_file(dir_);
  ::close(sock);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind(), ErrorKind::Io);
}

TEST_F(ManifestFileTest, ReadFailureWhileParsingIsJsonWithoutPosition) {
  fs::create_directory(manifest_path());  // opens, but every read fails
  auto result = read_manifest_file(dir_);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind(), ErrorKind::Json);
  EXPECT_EQ(result.error().payload(), "Is a directory (os error 21)");
}

TEST_F(ManifestFileTest, FormatVersionOtherThanTwoIsRefusedAfterParsing) {
  Manifest m = one_column_one_shard();
  m.format_version = 1;
  ASSERT_TRUE(write_manifest_file(manifest_path(), m).ok());
  auto result = read_manifest_file(dir_);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind(), ErrorKind::InvalidCache);
  EXPECT_EQ(result.error().payload(), "unsupported format version 1");
}

// A valid document on one line, so that a position is a column on line 1.
const char* const kCompact =
    R"({"format_version":2,"source_name":"s","sample_count":1,)"
    R"("metadata_schema":[{"name":"k","kind":"float"}],"metadata_sha256":"m","index_sha256":"i",)"
    R"("shards":[{"name":"000000.bin","uncompressed_byte_len":5,"byte_len":30,)"
    R"("compression":{"algo":"none","ratio":1},"sha256":"h"}]})";

Manifest compact_manifest() {
  Manifest m;
  m.source_name = "s";
  m.sample_count = 1;
  m.metadata_schema = {{"k", MetadataKind::Float}};
  m.metadata_sha256 = "m";
  m.index_sha256 = "i";
  m.shards = {{"000000.bin", 5, 30, {CompressionAlgo::None, 1.0}, "h"}};
  return m;
}

std::string replaced(std::string text, std::string_view from, std::string_view to) {
  std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return text.replace(at, from.size(), to);
}

TEST(ManifestText, KeyOrderAndUnknownKeysDoNotMatter) {
  std::string text = R"(  {"shards":[{"sha256":"h","extra":{"deep":[1,{"x":null}]},"compression":{"ratio":1,)"
                     R"("more":[],"algo":"none"},"byte_len":30,"uncompressed_byte_len":5,"name":"000000.bin"}],)"
                     R"("zzz":"ignored","index_sha256":"i","metadata_sha256":"m","metadata_schema":[)"
                     R"({"kind":"float","unused":true,"name":"k"}],"sample_count":1,"source_name":"s",)"
                     R"("format_version":2,"last":[[[]]]} )"
                     "\n\t\r\n ";
  auto parsed = parse_manifest_text(text);
  ASSERT_TRUE(parsed.ok()) << parsed.error().text();
  EXPECT_EQ(*parsed, compact_manifest());
  EXPECT_EQ(parse_manifest_text(kCompact).value(), compact_manifest());
}

TEST(ManifestText, RatioAcceptsAnyNumber) {
  struct Case {
    const char* json;
    double ratio;
  } cases[] = {{"1", 1.0}, {"-3", -3.0}, {"0.25", 0.25}, {"2.5e-3", 0.0025}, {"18446744073709551615", 18446744073709551615.0}};
  for (const auto& c : cases) {
    auto parsed = parse_manifest_text(replaced(kCompact, "\"ratio\":1", std::string("\"ratio\":") + c.json));
    ASSERT_TRUE(parsed.ok()) << c.json << ": " << parsed.error().text();
    EXPECT_EQ(parsed->shards[0].compression.ratio, c.ratio) << c.json;
  }
}

TEST(ManifestText, ParseFailuresSayWhatAndWhere) {
  // stop_after: the text up to where reading stops ("" = the whole document).
  struct Case {
    std::string from, to;
    std::string message;
    std::string stop_after;
  } cases[] = {
      {"\"format_version\":2", "\"format_version\":2.0", "invalid type: floating point `2.0`, expected u32",
       "\"format_version\":2.0"},
      {"\"format_version\":2", "\"format_version\":\"2\"", "invalid type: string \"2\", expected u32",
       "\"format_version\":\"2\""},
      {"\"format_version\":2", "\"format_version\":4294967296",
       "invalid value: integer `4294967296`, expected u32", "4294967296"},
      {"\"format_version\":2", "\"format_version\":-1", "invalid value: integer `-1`, expected u32",
       "\"format_version\":-1"},
      {"\"sample_count\":1", "\"sample_count\":18446744073709551616",
       "invalid type: floating point `1.8446744073709552e19`, expected u64", "18446744073709551616"},
      {"\"byte_len\":30", "\"byte_len\":null", "invalid type: null, expected u64", "\"byte_len\":null"},
      {"\"source_name\":\"s\"", "\"source_name\":true", "invalid type: boolean `true`, expected a string",
       "\"source_name\":true"},
      {"\"source_name\":\"s\"", "\"source_name\":\"s\",\"source_name\":\"t\"", "duplicate field `source_name`",
       "\"source_name\":\"s\",\"source_name\""},
      {"\"index_sha256\":\"i\",", "", "missing field `index_sha256`", ""},
      {"\"kind\":\"float\"", "\"kind\":\"double\"",
       "unknown variant `double`, expected one of `bool`, `int`, `float`, `string`", "\"kind\":\"double\""},
      {"\"algo\":\"none\"", "\"algo\":\"zstd\"", "unknown variant `zstd`, expected `none` or `lz4`",
       "\"algo\":\"zstd\""},
      {"\"algo\":\"none\",", "", "missing field `algo`", "\"ratio\":1}"},
      {"\"ratio\":1", "\"ratio\":\"1\"", "invalid type: string \"1\", expected f64", "\"ratio\":\"1\""},
      {"\"ratio\":1", "\"ratio\":1e400", "number out of range", "\"ratio\":1"},
      {"\"shards\":[", "\"shards\":{\"a\":[", "invalid type: map, expected a sequence", "\"shards\":{"},
      {"\"metadata_schema\":[", "\"metadata_schema\":[7,", "invalid type: integer `7`, expected struct MetadataField",
       "\"metadata_schema\":[7"},
      {"\"compression\":{\"algo\":\"none\",\"ratio\":1}", "\"compression\":[]",
       "invalid type: sequence, expected struct ShardCompression", "\"compression\":["},
      {"\"source_name\":\"s\"", "\"source_name\" \"s\"", "expected `:`", "\"source_name\" \""},
      {"\"source_name\":\"s\"", "\"source_name\":\"s\\q\"", "invalid escape", "\"source_name\":\"s\\"},
      {"\"source_name\":\"s\"", "\"source_name\":\"\xC3(\"", "invalid UTF-8 or unescaped control character in string",
       "\"source_name\":\"\xC3"},
      {"\"sample_count\":1,", "\"sample_count\":1,,", "key must be a string", "\"sample_count\":1,,"},
      {"\"h\"}]}", "\"h\"}]} x", "trailing characters", "\"h\"}]} x"},
      {"\"h\"}]}", "\"h\"}]}{}", "trailing characters", "\"h\"}]}{"},
      {"\"h\"}]}", "\"h\"}]", "EOF while parsing an object", ""},
      {"\"h\"}]}", "\"h\"}]}\n" + std::string(1, '\0'), "trailing characters", ""},
  };
  for (const auto& c : cases) {
    std::string text = replaced(kCompact, c.from, c.to);
    std::size_t stop = c.stop_after.empty() ? text.size() : text.find(c.stop_after) + c.stop_after.size();
    std::string where = " at line 1 column " + std::to_string(stop);
    if (c.to.find('\n') != std::string::npos) where = " at line 2 column 1";
    auto parsed = parse_manifest_text(text);
    ASSERT_FALSE(parsed.ok()) << c.to;
    EXPECT_EQ(parsed.error().kind(), ErrorKind::Json) << c.to;
    EXPECT_EQ(parsed.error().payload(), c.message + where) << c.to;
  }
}

TEST(ManifestText, DeeplyNestedUnknownValuesFailInsteadOfExhaustingTheStack) {
  std::string deep = std::string(200000, '[') + std::string(200000, ']');
  auto parsed = parse_manifest_text(replaced(kCompact, "{", "{\"x\":" + deep + ","));
  ASSERT_FALSE(parsed.ok());
  EXPECT_EQ(parsed.error().kind(), ErrorKind::Json);
  // The manifest object is level 1, so the 128th bracket is one too many.
  EXPECT_EQ(parsed.error().payload(), "recursion limit exceeded at line 1 column " + std::to_string(5 + 128));

  std::string nested = std::string(100, '[') + std::string(100, ']');
  EXPECT_TRUE(parse_manifest_text(replaced(kCompact, "{", "{\"x\":" + nested + ",")).ok());
}

TEST(ManifestText, TopLevelMustBeAnObject) {
  struct Case {
    const char* text;
    const char* payload;
  } cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"  \n", "EOF while parsing a value at line 1 column 3"},
      {"[]", "invalid type: sequence, expected struct Manifest at line 1 column 1"},
      {"\"x\"", "invalid type: string \"x\", expected struct Manifest at line 1 column 3"},
      {"{\n  \"source_name\": \"s\",\n  \"format_version\": 2\n}",
       "missing field `sample_count` at line 4 column 1"},
      {"{\n  \"a\": tru\n}", "expected value at line 2 column 11"},
  };
  for (const auto& c : cases) {
    auto parsed = parse_manifest_text(c.text);
    ASSERT_FALSE(parsed.ok()) << c.text;
    EXPECT_EQ(parsed.error().payload(), c.payload) << c.text;
  }
}

TEST(JsonFloat, ShortestRoundTripNotation) {
  struct Case {
    double x;
    const char* text;
  } cases[] = {
      {1.0, "1.0"},
      {0.25, "0.25"},
      {2.25, "2.25"},
      {-0.5, "-0.5"},
      {100.0, "100.0"},
      {0.1, "0.1"},
      {123456.789, "123456.789"},
      {1e-5, "0.00001"},
      {1.25e-5, "0.0000125"},
      {9.999999e-6, "9.999999e-6"},
      {1.5e-7, "1.5e-7"},
      {1.2345e-7, "1.2345e-7"},
      {1e15, "1000000000000000.0"},
      {9.999999e15, "9999999000000000.0"},
      {9007199254740993.0, "9007199254740992.0"},
      {1e16, "1e16"},
      {-1e20, "-1e20"},
      {1.5e300, "1.5e300"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {5e-324, "5e-324"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e308"},
      {std::nan(""), "null"},
      {std::numeric_limits<double>::infinity(), "null"},
      {-std::numeric_limits<double>::infinity(), "null"},
  };
  for (const auto& c : cases) {
    std::string out;
    append_json_float(out, c.x);
    EXPECT_EQ(out, c.text) << c.x;
    EXPECT_EQ(json_float_size(c.x), out.size()) << c.x;
  }
}

TEST(JsonFloat, ReadsBackAsTheSameDouble) {
  std::mt19937_64 gen(7);
  for (int i = 0; i < 20000; ++i) {
    std::uint64_t bits = gen();
    double x;
    std::memcpy(&x, &bits, sizeof x);
    if (!std::isfinite(x)) continue;
    std::string text;
    append_json_float(text, x);
    ASSERT_TRUE(text.find_first_of(".e") != std::string::npos) << text;
    ASSERT_EQ(std::strtod(text.c_str(), nullptr), x) << text;
  }
}

TEST(JsonString, EscapesOnlyWhatJsonRequires) {
  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {"plain", "\"plain\""},
      {"", "\"\""},
      {"\"\\", R"("\"\\")"},
      {"/\x7f", "\"/\x7f\""},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string("\x00\x01\x0b\x1f", 4), R"("\u0000\u0001\u000b\u001f")"},
      {"caf\xC3\xA9\xF0\x9F\x98\x80", "\"caf\xC3\xA9\xF0\x9F\x98\x80\""},
  };
  for (const auto& c : cases) {
    std::string out = "<";
    append_json_string(out, c.in);
    EXPECT_EQ(out, "<" + c.out);
    EXPECT_EQ(json_string_size(c.in), c.out.size());
  }
}

}  // namespace
}  // namespace brivane
