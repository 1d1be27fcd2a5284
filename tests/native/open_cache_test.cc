#include "cache/open_cache.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "cache/cache_writer.h"
#include "cache/file_io.h"
#include "cache/index_row.h"
#include "cache/manifest.h"
#include "cache/sha256.h"

namespace brivane {
namespace {

namespace fs = std::filesystem;

class OpenCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/brivane_open_cache_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    dir_ = root_ / "cache";
  }
  void TearDown() override { fs::remove_all(root_); }

  // Five samples, two per shard: shards 0 and 1 hold two, shard 2 one.
  void write_cache(std::uint64_t max_shard_bytes = 120) {
    auto writer = CacheWriter::create(dir_, "source", max_shard_bytes, ShardCompression{});
    ASSERT_TRUE(writer.ok()) << writer.error().text();
    for (int i = 0; i < 5; ++i) {
      const std::string data(20, static_cast<char>('a' + i));
      SampleMetadata metadata{{"id", MetadataValue{std::int64_t{i}}}, {"name", MetadataValue{"s" + std::to_string(i)}}};
      auto appended = writer->append(reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), metadata);
      ASSERT_TRUE(appended.ok()) << appended.error().text();
    }
    auto finished = std::move(*writer).finish();
    ASSERT_TRUE(finished.ok()) << finished.error().text();
    ASSERT_EQ(finished->manifest.shards.size(), 3u);
  }

  fs::path shard_path(int k) const {
    char name[16];
    std::snprintf(name, sizeof name, "%06d.bin", k);
    return dir_ / "shards" / name;
  }

  void edit_manifest(const std::function<void(Manifest&)>& edit) {
    auto manifest = read_manifest_file(dir_);
    ASSERT_TRUE(manifest.ok()) << manifest.error().text();
    edit(*manifest);
    ASSERT_TRUE(write_manifest_file(dir_ / "manifest.json", *manifest).ok());
  }

  // Replaces index.bin and records its new digest, so that only the rows differ.
  void write_index(const std::vector<IndexRow>& rows) {
    std::string bytes(rows.size() * kIndexRowSize, '\0');
    for (std::size_t i = 0; i < rows.size(); ++i) {
      encode_index_row(rows[i], reinterpret_cast<std::uint8_t*>(bytes.data()) + i * kIndexRowSize);
    }
    overwrite(dir_ / "index.bin", bytes);
    rehash_index();
  }

  void rehash_index() {
    auto digest = sha256_file(dir_ / "index.bin");
    ASSERT_TRUE(digest.ok());
    edit_manifest([&](Manifest& m) { m.index_sha256 = *digest; });
  }

  std::vector<IndexRow> index_rows() {
    auto bytes = read_whole_file(dir_ / "index.bin");
    EXPECT_TRUE(bytes.ok());
    std::vector<IndexRow> rows;
    for (std::size_t at = 0; at + kIndexRowSize <= bytes->size(); at += kIndexRowSize) {
      rows.push_back(decode_index_row(bytes->data() + at));
    }
    return rows;
  }

  static void overwrite(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

  static void flip_byte(const fs::path& path, std::uint64_t at) {
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    file.seekg(static_cast<std::streamoff>(at));
    char c = 0;
    file.get(c);
    file.seekp(static_cast<std::streamoff>(at));
    file.put(static_cast<char>(c ^ 0x01));
  }

  static void expect_failure(const Result<std::shared_ptr<OpenedCache>>& opened, ErrorKind kind,
                             const std::string& payload) {
    ASSERT_FALSE(opened.ok()) << "opened although '" << payload << "' was expected";
    EXPECT_EQ(opened.error().kind(), kind) << opened.error().text();
    EXPECT_EQ(opened.error().payload(), payload);
  }

  fs::path root_;
  fs::path dir_;
};

TEST_F(OpenCacheTest, OpensInBothModesAndFillsRowsOnlyWhenValidating) {
  write_cache();
  for (bool validate : {false, true}) {
    auto opened = open_cache(dir_, validate);
    ASSERT_TRUE(opened.ok()) << opened.error().text();
    const OpenedCache& cache = **opened;
    EXPECT_EQ(cache.dir, dir_);
    EXPECT_EQ(cache.validate, validate);
    EXPECT_EQ(cache.sample_count(), 5u);
    EXPECT_EQ(cache.index, index_rows());
    ASSERT_EQ(cache.shard_files.size(), 3u);
    EXPECT_EQ(cache.shard_files[2].path, shard_path(2).native());
    ASSERT_EQ(cache.rows.has_value(), validate);
    if (validate) {
      ASSERT_EQ(cache.rows->size(), 5u);
      EXPECT_EQ((*cache.rows)[3], (MetadataRow{std::int64_t{3}, std::string("s3")}));
    }
  }
}

TEST_F(OpenCacheTest, KeepsTheDirectoryAsGivenAndOpensIndependently) {
  write_cache();
  const fs::path relative = fs::relative(dir_, fs::current_path());
  auto first = open_cache(relative, false);
  auto second = open_cache(relative, false);
  ASSERT_TRUE(first.ok() && second.ok());
  EXPECT_EQ((*first)->dir, relative);
  EXPECT_NE(first->get(), second->get());
}

TEST_F(OpenCacheTest, TruncatedShardIsALengthMismatchInBothModes) {
  write_cache();
  fs::resize_file(shard_path(2), fs::file_size(shard_path(2)) - 1);
  for (bool validate : {false, true}) {
    expect_failure(open_cache(dir_, validate), ErrorKind::InvalidCache,
                   "shard length mismatch for " + path_text(shard_path(2)));
  }
}

TEST_F(OpenCacheTest, FlippedShardByteIsFoundOnlyByValidation) {
  write_cache();
  flip_byte(shard_path(1), 30);
  EXPECT_TRUE(open_cache(dir_, false).ok());
  expect_failure(open_cache(dir_, true), ErrorKind::InvalidCache, "checksum mismatch for " + path_text(shard_path(1)));
}

TEST_F(OpenCacheTest, FlippedIndexByteIsReportedBeforeAnyShard) {
  write_cache();
  flip_byte(dir_ / "index.bin", 3);
  fs::remove(shard_path(0));
  expect_failure(open_cache(dir_, true), ErrorKind::InvalidCache,
                 "checksum mismatch for " + path_text(dir_ / "index.bin"));
}

TEST_F(OpenCacheTest, FlippedMetadataTableByteIsReportedFirst) {
  write_cache();
  flip_byte(dir_ / "metadata.arrow", 40);
  flip_byte(dir_ / "index.bin", 3);
  expect_failure(open_cache(dir_, true), ErrorKind::InvalidCache,
                 "checksum mismatch for " + path_text(dir_ / "metadata.arrow"));
}

TEST_F(OpenCacheTest, IndexOfTwentyFiveBytes) {
  write_cache();
  overwrite(dir_ / "index.bin", std::string(25, '\0'));
  expect_failure(open_cache(dir_, false), ErrorKind::InvalidCache, "index length is not divisible by row size");
  expect_failure(open_cache(dir_, true), ErrorKind::InvalidCache,
                 "checksum mismatch for " + path_text(dir_ / "index.bin"));
}

TEST_F(OpenCacheTest, SampleCountOneTooManyComparesTheTableFirst) {
  write_cache();
  edit_manifest([](Manifest& m) { m.sample_count += 1; });
  expect_failure(open_cache(dir_, false), ErrorKind::InvalidCache, "index row count does not match manifest");
  expect_failure(open_cache(dir_, true), ErrorKind::InvalidCache, "metadata row count does not match manifest");
}

TEST_F(OpenCacheTest, IndexRowNamingAShardBeyondTheList) {
  write_cache();
  std::vector<IndexRow> rows = index_rows();
  rows[4].shard_id = 3;
  write_index(rows);
  for (bool validate : {false, true}) {
    expect_failure(open_cache(dir_, validate), ErrorKind::InvalidCache, "index references missing shard 3");
  }
}

TEST_F(OpenCacheTest, MissingFilesAreIoInBothModes) {
  write_cache();
  const std::vector<fs::path> victims = {dir_ / "metadata.arrow", dir_ / "index.bin", shard_path(1)};
  for (const fs::path& victim : victims) {
    const fs::path aside = root_ / "aside";
    fs::rename(victim, aside);
    for (bool validate : {false, true}) {
      auto opened = open_cache(dir_, validate);
      ASSERT_FALSE(opened.ok()) << victim;
      EXPECT_EQ(opened.error().kind(), ErrorKind::Io) << victim << ": " << opened.error().text();
    }
    fs::rename(aside, victim);
  }
  auto opened = open_cache(root_ / "nowhere", false);
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().kind(), ErrorKind::InvalidCache);
}

TEST_F(OpenCacheTest, ShardNamesOutsideTheShardDirectoryAreRefused) {
  write_cache();
  // The second and third names point at files that exist: the name alone decides.
  fs::copy_file(shard_path(1), root_ / "000001.bin");
  const std::vector<std::string> names = {"", ".", "..", "../../000001.bin", root_.native() + "/000001.bin",
                                          "sub/000001.bin", std::string("000001.bin\0x", 12)};
  for (const std::string& name : names) {
    edit_manifest([&](Manifest& m) { m.shards[1].name = name; });
    for (bool validate : {false, true}) {
      expect_failure(open_cache(dir_, validate), ErrorKind::InvalidCache, "invalid shard name '" + name + "'");
    }
  }
}

TEST_F(OpenCacheTest, IndexRowsMustLieInsideTheirShard) {
  write_cache();
  const std::uint64_t shard0_len = fs::file_size(shard_path(0));
  const std::vector<IndexRow> good = index_rows();
  struct Case {
    IndexRow row;
    bool inside;
  };
  const std::vector<Case> cases = {
      {{0, 0, shard0_len}, true},
      {{0, shard0_len, 0}, true},
      {{0, 1, shard0_len}, false},
      {{0, shard0_len + 1, 0}, false},
      {{0, 1, UINT64_MAX}, false},
      {{0, UINT64_MAX, 2}, false},
  };
  for (const Case& c : cases) {
    std::vector<IndexRow> rows = good;
    rows[1] = c.row;
    write_index(rows);
    for (bool validate : {false, true}) {
      auto opened = open_cache(dir_, validate);
      if (c.inside) {
        EXPECT_TRUE(opened.ok()) << c.row.offset << "+" << c.row.length;
      } else {
        expect_failure(opened, ErrorKind::InvalidCache, "index row 1 lies outside shard 0");
      }
    }
  }
}

}  // namespace
}  // namespace brivane
