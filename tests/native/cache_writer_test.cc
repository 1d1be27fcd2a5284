#include "cache/cache_writer.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "cache/embedded_metadata.h"
#include "cache/file_io.h"
#include "cache/lz4_payload.h"
#include "cache/metadata_table.h"
#include "cache/sha256.h"

namespace brivane {
namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> bytes_of(const fs::path& path) {
  auto bytes = read_whole_file(path);
  EXPECT_TRUE(bytes.ok()) << bytes.error().text();
  return bytes.ok() ? std::move(bytes).value() : std::vector<std::uint8_t>{};
}

constexpr ShardCompression kNone{CompressionAlgo::None, 1.0};
constexpr ShardCompression kLz4{CompressionAlgo::Lz4, 0.5};

class CacheWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = fs::temp_directory_path() /
            ("brivane_cache_writer_" + std::to_string(::getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(base_);
    fs::create_directories(base_);
    dir_ = base_ / "staging" / "cache";
  }
  void TearDown() override { fs::remove_all(base_); }

  CacheWriter create(std::uint64_t max_shard_bytes, ShardCompression compression = kNone) {
    auto writer = CacheWriter::create(dir_, "source \"one\"", max_shard_bytes, compression);
    EXPECT_TRUE(writer.ok()) << writer.error().text();
    return std::move(writer).value();
  }

  std::vector<IndexRow> index_rows() const {
    const auto bytes = bytes_of(dir_ / "index.bin");
    EXPECT_EQ(bytes.size() % kIndexRowSize, 0u);
    std::vector<IndexRow> rows;
    for (std::size_t at = 0; at + kIndexRowSize <= bytes.size(); at += kIndexRowSize) {
      rows.push_back(decode_index_row(bytes.data() + at));
    }
    return rows;
  }

  std::vector<std::string> entries(const fs::path& dir) const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path base_;
  fs::path dir_;
};

struct Sample {
  std::vector<std::uint8_t> data;
  SampleMetadata metadata;
};

// Everything the finished directory says must agree with what was appended.
void check_cache(const fs::path& dir, const FinishedCache& finished, const std::vector<Sample>& samples,
                 const std::vector<IndexRow>& index) {
  const Manifest& manifest = finished.manifest;
  auto on_disk = read_manifest_file(dir);
  ASSERT_TRUE(on_disk.ok()) << on_disk.error().text();
  EXPECT_EQ(*on_disk, manifest);
  EXPECT_EQ(manifest.format_version, 2u);
  EXPECT_EQ(manifest.sample_count, samples.size());
  ASSERT_EQ(index.size(), samples.size());
  EXPECT_EQ(manifest.metadata_sha256, sha256_file(dir / "metadata.arrow").value());
  EXPECT_EQ(manifest.index_sha256, sha256_file(dir / "index.bin").value());

  auto table = read_metadata_table(dir / "metadata.arrow", manifest.metadata_schema);
  ASSERT_TRUE(table.ok()) << table.error().text();
  ASSERT_EQ(table->size(), samples.size());

  std::vector<std::uint64_t> record_sum(manifest.shards.size()), data_sum(manifest.shards.size());
  std::vector<std::uint64_t> next_offset(manifest.shards.size());
  std::uint64_t last_shard = 0;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    SCOPED_TRACE(i);
    const IndexRow& row = index[i];
    ASSERT_LT(row.shard_id, manifest.shards.size());
    EXPECT_GE(row.shard_id, last_shard);
    last_shard = row.shard_id;
    EXPECT_EQ(row.offset, next_offset[row.shard_id]);
    next_offset[row.shard_id] += row.length;
    record_sum[row.shard_id] += row.length;
    data_sum[row.shard_id] += samples[i].data.size();

    const ShardManifest& shard = manifest.shards[row.shard_id];
    const auto file = bytes_of(dir / "shards" / shard.name);
    ASSERT_LE(row.offset + row.length, file.size());
    const std::uint8_t* record = file.data() + row.offset;
    const std::uint64_t n = load_u64_le(record);
    ASSERT_LE(8 + n, row.length);
    const std::string_view json(reinterpret_cast<const char*>(record + 8), n);
    auto embedded = decode_embedded_metadata(json, manifest.metadata_schema);
    ASSERT_TRUE(embedded.ok()) << embedded.error().text();
    EXPECT_EQ(*embedded, (*table)[i]);
    EXPECT_EQ(embedded->size(), samples[i].metadata.size());

    const std::uint8_t* payload = record + 8 + n;
    const std::size_t payload_size = row.length - 8 - n;
    if (shard.compression.algo == CompressionAlgo::Lz4) {
      auto data = decode_lz4_payload(payload, payload_size);
      ASSERT_TRUE(data.ok()) << data.error().text();
      EXPECT_EQ(*data, samples[i].data);
    } else {
      EXPECT_EQ(std::vector<std::uint8_t>(payload, payload + payload_size), samples[i].data);
    }
  }
  for (std::size_t k = 0; k < manifest.shards.size(); ++k) {
    SCOPED_TRACE(k);
    const ShardManifest& shard = manifest.shards[k];
    const fs::path path = dir / "shards" / shard.name;
    EXPECT_EQ(shard.name, shard_file_name(k));
    EXPECT_GT(shard.byte_len, 0u);
    EXPECT_EQ(shard.byte_len, fs::file_size(path));
    EXPECT_EQ(shard.byte_len, record_sum[k]);
    EXPECT_EQ(shard.uncompressed_byte_len, data_sum[k]);
    EXPECT_EQ(shard.sha256, sha256_file(path).value());
  }
}

std::vector<std::uint8_t> filled(std::size_t n, std::uint8_t value) { return std::vector<std::uint8_t>(n, value); }

TEST_F(CacheWriterTest, RollsOverBeforeARecordWouldOverfillAShard) {
  struct Case {
    const char* what;
    std::vector<std::size_t> data_sizes;  // metadata {} makes each record 10 bytes longer
    std::vector<std::uint64_t> expected_shards;
  };
  const std::vector<Case> cases = {
      {"60-byte records, one per shard", {50, 50, 50}, {0, 1, 2}},
      {"50-byte records fill a shard exactly", {40, 40, 40, 40, 40}, {0, 0, 1, 1, 2}},
      {"an oversized first record has a shard of its own", {990, 10, 10}, {0, 1, 1}},
      {"an oversized record after others opens its own shard", {10, 990, 10}, {0, 1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(dir_);
    CacheWriter writer = create(100);
    std::vector<Sample> samples;
    for (std::size_t size : c.data_sizes) {
      samples.push_back({filled(size, static_cast<std::uint8_t>(size)), {}});
      auto appended = writer.append(samples.back().data.data(), size, samples.back().metadata);
      ASSERT_TRUE(appended.ok()) << appended.error().text();
      EXPECT_EQ(appended->data_length, size);
      EXPECT_EQ(appended->record_length, size + 10);
    }
    auto finished = std::move(writer).finish();
    ASSERT_TRUE(finished.ok()) << finished.error().text();
    const auto index = index_rows();
    std::vector<std::uint64_t> shards;
    for (const IndexRow& row : index) shards.push_back(row.shard_id);
    EXPECT_EQ(shards, c.expected_shards);
    EXPECT_EQ(finished->manifest.shards.size(), c.expected_shards.back() + 1);
    check_cache(dir_, *finished, samples, index);
  }
}

TEST_F(CacheWriterTest, ShardNamesArePaddedToSixDigits) {
  EXPECT_EQ(shard_file_name(0), "000000.bin");
  EXPECT_EQ(shard_file_name(12), "000012.bin");
  EXPECT_EQ(shard_file_name(999999), "999999.bin");
  EXPECT_EQ(shard_file_name(1000000), "1000000.bin");
  EXPECT_EQ(shard_file_name(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615.bin");

  fs::create_directories(base_ / "shards");
  auto shard = ShardWriter::open(base_, 1000000);
  ASSERT_TRUE(shard.ok()) << shard.error().text();
  EXPECT_TRUE(fs::exists(base_ / "shards" / "1000000.bin"));
}

TEST_F(CacheWriterTest, OneSampleCacheLayout) {
  for (const ShardCompression compression : {kNone, kLz4}) {
    SCOPED_TRACE(algo_text(compression.algo));
    fs::remove_all(dir_);
    CacheWriter writer = create(1 << 20, compression);
    const Sample sample{filled(300, 7), {{"b", MetadataValue(std::int64_t{1})}, {"a", MetadataValue(true)}}};
    auto appended = writer.append(sample.data.data(), sample.data.size(), sample.metadata);
    ASSERT_TRUE(appended.ok()) << appended.error().text();
    auto finished = std::move(writer).finish();
    ASSERT_TRUE(finished.ok()) << finished.error().text();

    EXPECT_EQ(entries(dir_), (std::vector<std::string>{"index.bin", "manifest.json", "metadata.arrow", "shards"}));
    EXPECT_EQ(entries(dir_ / "shards"), (std::vector<std::string>{"000000.bin"}));
    const auto index = index_rows();
    ASSERT_EQ(index.size(), 1u);
    EXPECT_EQ(index[0], (IndexRow{0, 0, appended->record_length}));
    EXPECT_EQ(fs::file_size(dir_ / "index.bin"), 24u);

    const Manifest& manifest = finished->manifest;
    EXPECT_EQ(manifest.source_name, "source \"one\"");
    EXPECT_EQ(manifest.metadata_schema,
              (MetadataSchema{{"a", MetadataKind::Bool}, {"b", MetadataKind::Int}}));
    ASSERT_EQ(manifest.shards.size(), 1u);
    EXPECT_EQ(manifest.shards[0].compression, compression);
    EXPECT_EQ(manifest.shards[0].uncompressed_byte_len, 300u);

    // The record starts with its metadata length and the compact JSON.
    const auto shard = bytes_of(dir_ / "shards" / "000000.bin");
    const std::string head(shard.begin(), shard.begin() + 24);
    EXPECT_EQ(head, std::string("\x10\0\0\0\0\0\0\0{\"a\":true,\"b\":1}", 24));
    if (compression.algo == CompressionAlgo::Lz4) {
      EXPECT_LT(appended->record_length, 100u);
    }
    check_cache(dir_, *finished, {sample}, index);
  }
}

TEST_F(CacheWriterTest, EmptyDataRecords) {
  for (const ShardCompression compression : {kNone, kLz4}) {
    SCOPED_TRACE(algo_text(compression.algo));
    fs::remove_all(dir_);
    CacheWriter writer = create(1 << 20, compression);
    auto appended = writer.append(nullptr, 0, {});
    ASSERT_TRUE(appended.ok()) << appended.error().text();
    const auto shard_file = dir_ / "shards" / "000000.bin";
    auto finished = std::move(writer).finish();
    ASSERT_TRUE(finished.ok()) << finished.error().text();
    const auto record = bytes_of(shard_file);
    ASSERT_EQ(record.size(), appended->record_length);
    EXPECT_EQ(std::string(record.begin(), record.begin() + 10), std::string("\x02\0\0\0\0\0\0\0{}", 10));
    if (compression.algo == CompressionAlgo::None) {
      EXPECT_EQ(record.size(), 10u);
    } else {
      ASSERT_GT(record.size(), 14u);
      EXPECT_EQ(std::string(record.begin() + 10, record.begin() + 14), std::string(4, '\0'));
    }
    check_cache(dir_, *finished, {Sample{}}, index_rows());
  }
}

TEST_F(CacheWriterTest, ManyShardsRoundTripWithEveryKind) {
  std::mt19937 gen(11);
  for (const ShardCompression compression : {kNone, kLz4}) {
    SCOPED_TRACE(algo_text(compression.algo));
    fs::remove_all(dir_);
    CacheWriter writer = create(4096, compression);
    std::vector<Sample> samples;
    for (int i = 0; i < 300; ++i) {
      Sample sample;
      const std::size_t size = gen() % (i % 50 == 0 ? 20000 : 700);
      for (std::size_t b = 0; b < size; ++b) sample.data.push_back(static_cast<std::uint8_t>(gen() % 4 + 'a'));
      sample.metadata = {{"id", MetadataValue(std::int64_t{i} - 150)},
                         {"keep", MetadataValue(i % 3 == 0)},
                         {"score", MetadataValue(i / 7.0)},
                         {"tag", MetadataValue(std::string(static_cast<std::size_t>(i % 5), 'x') + "\"\\\n")}};
      // Alternate the two entry points; the owning one must give the same record.
      auto appended = i % 2 == 0 ? writer.append(std::vector<std::uint8_t>(sample.data), sample.metadata)
                                 : writer.append(sample.data.data(), sample.data.size(), sample.metadata);
      ASSERT_TRUE(appended.ok()) << appended.error().text();
      EXPECT_EQ(appended->data_length, size);
      samples.push_back(std::move(sample));
    }
    EXPECT_EQ(writer.sample_count(), 300u);
    auto finished = std::move(writer).finish();
    ASSERT_TRUE(finished.ok()) << finished.error().text();
    EXPECT_GT(finished->manifest.shards.size(), 10u);
    check_cache(dir_, *finished, samples, index_rows());
  }
}

TEST_F(CacheWriterTest, EmptyMetadataCacheRoundTrips) {
  CacheWriter writer = create(1000);
  std::vector<Sample> samples;
  for (int i = 0; i < 5; ++i) {
    samples.push_back({filled(static_cast<std::size_t>(i) * 100, 1), {}});
    ASSERT_TRUE(writer.append(samples.back().data.data(), samples.back().data.size(), {}).ok());
  }
  auto finished = std::move(writer).finish();
  ASSERT_TRUE(finished.ok()) << finished.error().text();
  EXPECT_TRUE(finished->manifest.metadata_schema.empty());
  auto table = read_metadata_table(dir_ / "metadata.arrow", {});
  ASSERT_TRUE(table.ok()) << table.error().text();
  EXPECT_EQ(*table, std::vector<MetadataRow>(5));
  check_cache(dir_, *finished, samples, index_rows());
}

TEST_F(CacheWriterTest, NoSamplesLeavesOnlyTheEmptyFirstShard) {
  CacheWriter writer = create(100);
  auto finished = std::move(writer).finish();
  ASSERT_FALSE(finished.ok());
  EXPECT_EQ(finished.error().kind(), ErrorKind::InvalidArgument);
  EXPECT_EQ(finished.error().payload(), "cache source yielded no samples");
  EXPECT_EQ(entries(dir_), std::vector<std::string>{"shards"});
  EXPECT_EQ(entries(dir_ / "shards"), std::vector<std::string>{"000000.bin"});
  EXPECT_EQ(fs::file_size(dir_ / "shards" / "000000.bin"), 0u);
}

TEST_F(CacheWriterTest, ExistingPathIsRefusedBeforeAnythingIsCreated) {
  fs::create_directories(dir_);
  std::ofstream(base_ / "plain_file") << "x";
  for (const fs::path& taken : {dir_, base_ / "plain_file"}) {
    auto writer = CacheWriter::create(taken, "s", 100, kNone);
    ASSERT_FALSE(writer.ok());
    EXPECT_EQ(writer.error().kind(), ErrorKind::InvalidArgument);
    EXPECT_EQ(writer.error().payload(), "cache path already exists: " + taken.string());
  }
  EXPECT_TRUE(fs::is_empty(dir_));

  // A path below a plain file cannot be created.
  auto below_file = CacheWriter::create(base_ / "plain_file" / "cache", "s", 100, kNone);
  ASSERT_FALSE(below_file.ok());
  EXPECT_EQ(below_file.error().kind(), ErrorKind::Io);
}

TEST_F(CacheWriterTest, RefusedSampleIsNotWritten) {
  CacheWriter writer = create(100);
  const std::vector<std::uint8_t> data = filled(5, 2);
  ASSERT_TRUE(writer.append(data.data(), data.size(), {{"k", MetadataValue(std::int64_t{1})}}).ok());
  auto refused = writer.append(data.data(), data.size(), {{"k", MetadataValue(1.0)}});
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind(), ErrorKind::InvalidArgument);
  EXPECT_EQ(writer.sample_count(), 1u);
}

TEST(ShardWriterTest, DataByteCountOverflowIsRefusedBeforeWriting) {
  const fs::path dir = fs::temp_directory_path() / ("brivane_shard_writer_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "shards");
  auto shard = ShardWriter::open(dir, 3);
  ASSERT_TRUE(shard.ok()) << shard.error().text();
  const std::uint8_t record[4] = {1, 2, 3, 4};
  ASSERT_TRUE(shard->write(record, 4, {}, std::numeric_limits<std::uint64_t>::max() - 1).ok());
  auto overflow = shard->write(record, 4, {}, 2);
  ASSERT_FALSE(overflow.ok());
  EXPECT_EQ(overflow.error().payload(), "shard uncompressed byte length overflowed u64");
  EXPECT_EQ(shard->byte_count(), 4u);
  // A record given in two parts (head, then the payload where it lies).
  ASSERT_TRUE(shard->write(record, 1, {record + 1, 3}, 0).ok());
  EXPECT_EQ(shard->byte_count(), 8u);
  auto manifest = std::move(*shard).finish(kNone);
  ASSERT_TRUE(manifest.ok()) << manifest.error().text();
  EXPECT_EQ(manifest->name, "000003.bin");
  EXPECT_EQ(manifest->byte_len, 8u);
  auto bytes = read_whole_file(dir / "shards" / "000003.bin");
  ASSERT_TRUE(bytes.ok());
  EXPECT_EQ(*bytes, (std::vector<std::uint8_t>{1, 2, 3, 4, 1, 2, 3, 4}));
  EXPECT_EQ(manifest->sha256, sha256_file(dir / "shards" / "000003.bin").value());
  fs::remove_all(dir);
}

}  // namespace
}  // namespace brivane
