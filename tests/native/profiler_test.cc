#include "writer/profiler.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <limits>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace brivane {
namespace {

namespace fs = std::filesystem;
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

class ProfilerReport : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("brivane_profiler_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  static std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // Numbers kept as text so totals beyond 64 bits survive.
  static rapidjson::Document parse(const std::string& text) {
    rapidjson::Document doc;
    doc.Parse<rapidjson::kParseNumbersAsStringsFlag>(text.c_str(), text.size());
    EXPECT_FALSE(doc.HasParseError()) << text;
    return doc;
  }

  fs::path dir_;
};

TEST_F(ProfilerReport, PrettyJsonWithSourcesAndStagesInByteOrder) {
  const fs::path path = dir_ / "report.json";
  Profiler profiler(path.string());
  // b before a, and stages in the writer's order: the report sorts both.
  profiler.record("b", ProfileStage::python_next, std::chrono::nanoseconds(7), 0);
  profiler.record("b", ProfileStage::disk_write, ProfileDuration(2, 5), 40);
  profiler.record("b", ProfileStage::disk_write, ProfileDuration(0, 10), 2);
  profiler.record("a", ProfileStage::publish, std::chrono::microseconds(3), 0);
  ASSERT_TRUE(profiler.write_report().ok());

  const std::string text = slurp(path);
  const std::string expected_tail = R"(,
  "sources": [
    {
      "source_name": "a",
      "stages": [
        {
          "name": "publish",
          "calls": 1,
          "total_ns": 3000,
          "bytes": 0
        }
      ]
    },
    {
      "source_name": "b",
      "stages": [
        {
          "name": "disk_write",
          "calls": 2,
          "total_ns": 2000000015,
          "bytes": 42
        },
        {
          "name": "python_next",
          "calls": 1,
          "total_ns": 7,
          "bytes": 0
        }
      ]
    }
  ]
})";
  std::smatch head;
  ASSERT_TRUE(std::regex_search(text, head, std::regex(R"(^\{\n  "format_version": 1,\n  "elapsed_ns": [0-9]+)")))
      << text;
  EXPECT_EQ(text.substr(head.length()), expected_tail);
}

TEST_F(ProfilerReport, AllTwelveStagesAppearInByteOrder) {
  const fs::path path = dir_ / "all.json";
  Profiler profiler(path.string());
  for (std::size_t i = 0; i < kProfileStageCount; ++i) {
    profiler.record("s", static_cast<ProfileStage>(i), ProfileDuration(0, 1), i);
  }
  ASSERT_TRUE(profiler.write_report().ok());
  const auto doc = parse(slurp(path));
  std::vector<std::string> names;
  for (const auto& stage : doc["sources"][0]["stages"].GetArray()) names.emplace_back(stage["name"].GetString());
  EXPECT_EQ(names, (std::vector<std::string>{"compression", "disk_write", "finish_index", "finish_manifest",
                                             "finish_metadata", "ingress_wait", "metadata_validate", "publish",
                                             "python_extract", "python_next", "record_encode", "shard_flush"}));
}

TEST_F(ProfilerReport, EmptyTableAndEscapedNames) {
  {
    const fs::path path = dir_ / "empty.json";
    Profiler profiler(path.string());
    ASSERT_TRUE(profiler.write_report().ok());
    EXPECT_TRUE(std::regex_match(slurp(path), std::regex(R"(\{\n  "format_version": 1,\n  "elapsed_ns": [0-9]+,)"
                                                          R"(\n  "sources": \[\]\n\})")));
  }
  const fs::path path = dir_ / "names.json";
  Profiler profiler(path.string());
  const std::string odd("q\"u\\o\nt\x01\x1f\xc3\xa9/", 12);
  profiler.record(odd, ProfileStage::publish, {}, 0);
  ASSERT_TRUE(profiler.write_report().ok());
  const std::string text = slurp(path);
  EXPECT_NE(text.find(R"("q\"u\\o\nt\u0001\u001fé/")"), std::string::npos) << text;
  EXPECT_EQ(parse(text)["sources"][0]["source_name"].GetString(), odd);
}

TEST_F(ProfilerReport, TotalsBeyondSixtyFourBitsAreExact) {
  const fs::path path = dir_ / "big.json";
  Profiler profiler(path.string());
  profiler.record("s", ProfileStage::compression, ProfileDuration(kMax, 999'999'999), kMax);
  profiler.record("s", ProfileStage::compression, ProfileDuration(kMax, 999'999'999), kMax);
  ASSERT_TRUE(profiler.write_report().ok());
  const auto doc = parse(slurp(path));
  const auto& stage = doc["sources"][0]["stages"][0];
  EXPECT_STREQ(stage["total_ns"].GetString(), "36893488147419103231999999998");
  EXPECT_STREQ(stage["bytes"].GetString(), "18446744073709551615");  // saturated
  EXPECT_STREQ(stage["calls"].GetString(), "2");
}

TEST(StageStats, EveryCounterSaturates) {
  const unsigned __int128 max128 = ~static_cast<unsigned __int128>(0);
  StageStats s{kMax, max128 - 1, kMax - 5};
  s.add(10, 10);
  EXPECT_EQ(s.calls, kMax);
  EXPECT_TRUE(s.total_ns == max128);
  EXPECT_EQ(s.bytes, kMax);
  EXPECT_EQ(u128_decimal(max128), "340282366920938463463374607431768211455");
  EXPECT_EQ(u128_decimal(0), "0");
}

TEST(ProfileDuration, FromChronoDurations) {
  struct Case {
    ProfileDuration d;
    std::uint64_t seconds;
    std::uint32_t nanos;
  } cases[] = {
      {std::chrono::milliseconds(1500), 1, 500'000'000},
      {std::chrono::nanoseconds(-5), 0, 0},
      {std::chrono::hours(2), 7200, 0},
      {std::chrono::steady_clock::duration(999'999'999), 0, 999'999'999},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.d.seconds, c.seconds);
    EXPECT_EQ(c.d.nanos, c.nanos);
  }
}

TEST_F(ProfilerReport, DisabledRecordsNothingAndWritesNothing) {
  Profiler profiler;
  EXPECT_FALSE(profiler.enabled());
  profiler.record("s", ProfileStage::publish, ProfileDuration(1, 0), 1);
  EXPECT_FALSE(profiler.stats("s", ProfileStage::publish).has_value());
  EXPECT_TRUE(profiler.write_report().ok());
  EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(ProfilerReport, CreatesMissingDirectoriesAndReplacesAnOldReport) {
  const fs::path path = dir_ / "x" / "y" / "report.json";
  fs::create_directories(path.parent_path());
  std::ofstream(path) << std::string(10000, 'z');
  Profiler profiler(path.string());
  ASSERT_TRUE(profiler.write_report().ok());
  EXPECT_EQ(parse(slurp(path))["sources"].Size(), 0u);

  const fs::path fresh = dir_ / "new" / "deeper" / "r.json";
  Profiler second(fresh.string());
  ASSERT_TRUE(second.write_report().ok());
  EXPECT_TRUE(fs::is_regular_file(fresh));
}

TEST_F(ProfilerReport, FailuresCarryTheirKinds) {
  std::ofstream(dir_ / "file") << "x";
  struct Case {
    std::string path;
    std::size_t sources;
    ErrorKind kind;
    std::string text;
  } cases[] = {
      // The parent is a regular file.
      {(dir_ / "file" / "r.json").string(), 0, ErrorKind::Io, "I/O error: Not a directory (os error 20)"},
      {dir_.string(), 0, ErrorKind::Io, "I/O error: Is a directory (os error 21)"},
      // A small report only reaches the disk in the final flush, which must not pass as success.
      {"/dev/full", 1, ErrorKind::Io, "I/O error: No space left on device (os error 28)"},
      // A large one fails while it is serialised.
      {"/dev/full", 200, ErrorKind::Json, "JSON error: No space left on device (os error 28)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    Profiler profiler(c.path);
    for (std::size_t i = 0; i < c.sources; ++i) {
      profiler.record("source-" + std::to_string(i), ProfileStage::disk_write, ProfileDuration(1, 0), 1);
    }
    const Status status = profiler.write_report();
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().kind(), c.kind);
    EXPECT_EQ(status.error().text(), c.text);
  }
}

}  // namespace
}  // namespace brivane
