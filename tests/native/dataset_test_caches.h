// Small caches on disk for the dataset tests, written by the real writer.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "cache/cache_writer.h"
#include "cache/manifest.h"

namespace brivane::testing_caches {

namespace fs = std::filesystem;

// The data of sample i of a cache: its source name and i, so that a read
// shows which cache and sample it came from.
inline std::string sample_text(const std::string& source, std::uint64_t i) {
  return source + "/" + std::to_string(i);
}

// A temporary directory removed with the fixture.
class TempRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/brivane_dataset_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override { fs::remove_all(root_); }

  // Writes cache `name` with `count` samples carrying metadata {i: int, name: str}.
  std::string write_cache(const std::string& name, std::uint64_t count) {
    const fs::path dir = root_ / name;
    auto writer = CacheWriter::create(dir, name, 1 << 20, ShardCompression{});
    EXPECT_TRUE(writer.ok()) << writer.error().text();
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::string data = sample_text(name, i);
      SampleMetadata metadata{{"i", MetadataValue{static_cast<std::int64_t>(i)}}, {"name", MetadataValue{name}}};
      auto appended = writer->append(reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), metadata);
      EXPECT_TRUE(appended.ok()) << appended.error().text();
    }
    auto finished = std::move(*writer).finish();
    EXPECT_TRUE(finished.ok()) << finished.error().text();
    return dir.string();
  }

  // A cache the writer cannot make: no samples at all (opened unvalidated).
  std::string write_empty_cache(const std::string& name) {
    const std::string dir = write_cache(name, 1);
    fs::resize_file(fs::path(dir) / "index.bin", 0);
    auto manifest = read_manifest_file(dir);
    EXPECT_TRUE(manifest.ok());
    manifest->sample_count = 0;
    EXPECT_TRUE(write_manifest_file(fs::path(dir) / "manifest.json", *manifest).ok());
    return dir;
  }

  fs::path root_;
};

}  // namespace brivane::testing_caches
