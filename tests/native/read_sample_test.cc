#include "cache/read_sample.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "cache/cache_writer.h"
#include "cache/index_row.h"
#include "cache/manifest.h"
#include "cache/metadata_table.h"
#include "cache/open_cache.h"
#include "cache/sha256.h"

namespace brivane {
namespace {

namespace fs = std::filesystem;

struct Sample {
  std::string data;
  SampleMetadata metadata;
};

std::vector<Sample> make_samples(int count) {
  std::vector<Sample> samples;
  for (int i = 0; i < count; ++i) {
    std::string data;
    if (i % 4 == 1) data = std::string(5000, static_cast<char>('a' + i % 26));  // compresses well
    if (i % 4 == 2) data = "sample " + std::to_string(i);
    if (i % 4 == 3) {
      for (int k = 0; k < 300; ++k) data.push_back(static_cast<char>((k * 131 + i * 7) & 0xFF));
    }
    samples.push_back({data,
                       {{"id", MetadataValue{std::int64_t{i} - 2}},
                        {"keep", MetadataValue{i % 2 == 0}},
                        {"score", MetadataValue{i * 0.25}},
                        {"tag", MetadataValue{"t\"" + std::to_string(i)}}}});
  }
  return samples;
}

MetadataRow row_of(const Sample& sample) {
  MetadataRow row;
  for (const auto& [key, value] : sample.metadata) row.push_back(value);
  return row;
}

std::string text_of(const SampleData& sample) {
  auto data = sample.data();
  return std::string(reinterpret_cast<const char*>(data.data()), data.size());
}

class ReadSampleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/brivane_read_sample_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    dir_ = root_ / "cache";
  }
  void TearDown() override { fs::remove_all(root_); }

  void write_cache(const std::vector<Sample>& samples, CompressionAlgo algo, std::uint64_t max_shard_bytes = 4096) {
    auto writer = CacheWriter::create(dir_, "source", max_shard_bytes, ShardCompression{algo, 1.0});
    ASSERT_TRUE(writer.ok()) << writer.error().text();
    for (const Sample& s : samples) {
      auto appended = writer->append(reinterpret_cast<const std::uint8_t*>(s.data.data()), s.data.size(), s.metadata);
      ASSERT_TRUE(appended.ok()) << appended.error().text();
    }
    auto finished = std::move(*writer).finish();
    ASSERT_TRUE(finished.ok()) << finished.error().text();
  }

  std::shared_ptr<OpenedCache> open(bool validate) {
    auto opened = open_cache(dir_, validate);
    EXPECT_TRUE(opened.ok()) << opened.error().text();
    return opened.ok() ? *opened : nullptr;
  }

  void edit_manifest(const std::function<void(Manifest&)>& edit) {
    auto manifest = read_manifest_file(dir_);
    ASSERT_TRUE(manifest.ok()) << manifest.error().text();
    edit(*manifest);
    ASSERT_TRUE(write_manifest_file(dir_ / "manifest.json", *manifest).ok());
  }

  // Changes the length of index row `i` and re-records the index digest.
  void set_record_length(std::size_t i, std::uint64_t length) {
    std::fstream file(dir_ / "index.bin", std::ios::binary | std::ios::in | std::ios::out);
    std::uint8_t bytes[8];
    store_u64_le(bytes, length);
    file.seekp(static_cast<std::streamoff>(i * kIndexRowSize + 16));
    file.write(reinterpret_cast<const char*>(bytes), 8);
    file.close();
    auto digest = sha256_file(dir_ / "index.bin");
    ASSERT_TRUE(digest.ok());
    edit_manifest([&](Manifest& m) { m.index_sha256 = *digest; });
  }

  static void patch(const fs::path& path, std::uint64_t at, const std::string& bytes) {
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(static_cast<std::streamoff>(at));
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

  static void expect_failure(const Result<SampleData>& read, ErrorKind kind, const std::string& payload_prefix) {
    ASSERT_FALSE(read.ok()) << "read although '" << payload_prefix << "' was expected";
    EXPECT_EQ(read.error().kind(), kind) << read.error().text();
    EXPECT_EQ(read.error().payload().substr(0, payload_prefix.size()), payload_prefix) << read.error().payload();
  }

  fs::path shard_path(int k) const {
    char name[16];
    std::snprintf(name, sizeof name, "%06d.bin", k);
    return dir_ / "shards" / name;
  }

  fs::path root_;
  fs::path dir_;
};

TEST_F(ReadSampleTest, ReturnsWhatWasWrittenForEachAlgorithmAndMode) {
  const std::vector<Sample> samples = make_samples(12);
  for (CompressionAlgo algo : {CompressionAlgo::None, CompressionAlgo::Lz4}) {
    fs::remove_all(dir_);
    write_cache(samples, algo, 1500);
    for (bool validate : {false, true}) {
      auto cache = open(validate);
      ASSERT_TRUE(cache);
      ASSERT_GT(cache->manifest.shards.size(), 1u);
      ShardReaderCache readers;
      for (std::size_t i = 0; i < samples.size(); ++i) {
        auto read = read_sample(*cache, i, readers);
        ASSERT_TRUE(read.ok()) << read.error().text();
        EXPECT_EQ(text_of(*read), samples[i].data) << i;
        EXPECT_EQ(read->metadata, row_of(samples[i])) << i;
      }
      // Read as runs of neighbouring records: the same samples, and a run
      // never crosses a shard (each shard's records make one run).
      std::size_t runs = 0;
      for (std::uint64_t first = 0; first < samples.size(); ++runs) {
        const std::size_t count = record_run_length(*cache, first, samples.size() - first);
        ASSERT_GE(count, 1u);
        std::uint64_t id = first;
        auto status = read_record_run(*cache, first, count, readers, [&](SampleData&& sample) {
          EXPECT_EQ(text_of(sample), samples[id].data) << id;
          EXPECT_EQ(sample.metadata, row_of(samples[id])) << id;
          EXPECT_EQ(cache->index[id].shard_id, cache->index[first].shard_id) << id;
          ++id;
        });
        ASSERT_TRUE(status.ok()) << status.error().text();
        ASSERT_EQ(id, first + count);
        first += count;
      }
      EXPECT_EQ(runs, cache->manifest.shards.size());
    }
  }
}

TEST_F(ReadSampleTest, RecordRunLengthStopsWhereRecordsStopBeingNeighbours) {
  write_cache(make_samples(20), CompressionAlgo::None, 1 << 20);
  struct Case {
    std::string what;
    std::function<void(OpenedCache&)> edit;
    std::uint64_t first;
    std::size_t limit;
    std::size_t expected;
  };
  const std::vector<Case> cases = {
      {"whole shard", [](OpenedCache&) {}, 0, 6, 6},
      {"limit", [](OpenedCache&) {}, 1, 3, 3},
      {"no limit", [](OpenedCache&) {}, 0, 0, 0},
      {"last sample", [](OpenedCache&) {}, 19, 9, 1},
      {"beyond the index", [](OpenedCache&) {}, 20, 3, 0},
      {"gap", [](OpenedCache& c) { c.index[3].offset += 1; }, 0, 6, 3},
      {"other shard", [](OpenedCache& c) { c.index[2].shard_id = 1; }, 0, 6, 2},
      {"shard out of range", [](OpenedCache& c) { c.index[0].shard_id = 9; }, 0, 6, 0},
      {"large first record", [](OpenedCache& c) { c.index[0].length = kRunRecordLimit + 1; }, 0, 6, 0},
      {"large later record", [](OpenedCache& c) { c.index[4].length = kRunRecordLimit + 1; }, 0, 6, 4},
  };
  for (const Case& c : cases) {
    auto cache = open(false);
    c.edit(*cache);
    EXPECT_EQ(record_run_length(*cache, c.first, c.limit), c.expected) << c.what;
  }
  // The combined size is bounded too.
  auto cache = open(false);
  std::uint64_t offset = 0;
  for (IndexRow& row : cache->index) {
    row.offset = offset;
    row.length = kRunRecordLimit;
    offset += row.length;
  }
  EXPECT_EQ(record_run_length(*cache, 0, 20), kRunByteLimit / kRunRecordLimit);
}

// A run that cannot be read or decoded as a whole still hands on the samples
// before the broken one and then fails exactly as read_sample fails for it.
TEST_F(ReadSampleTest, BrokenRunHandsOnTheSamplesBeforeTheFailure) {
  const std::vector<Sample> samples = make_samples(6);
  struct Case {
    std::string what;
    std::function<void(const OpenedCache&)> damage;  // breaks sample 3
    ErrorKind kind;
  };
  const std::vector<Case> cases = {
      {"shard cut inside sample 3", [&](const OpenedCache& c) { fs::resize_file(shard_path(0), c.index[3].offset + 5); },
       ErrorKind::Io},
      {"metadata of sample 3", [&](const OpenedCache& c) { patch(shard_path(0), c.index[3].offset + 8, "["); },
       ErrorKind::Json},
  };
  for (const Case& c : cases) {
    fs::remove_all(dir_);
    write_cache(samples, CompressionAlgo::None, 1 << 20);
    auto cache = open(false);
    ASSERT_EQ(record_run_length(*cache, 0, 6), 6u) << c.what;
    c.damage(*cache);
    ShardReaderCache readers;
    std::vector<std::string> got;
    auto status = read_record_run(*cache, 0, 6, readers, [&](SampleData&& sample) { got.push_back(text_of(sample)); });
    ASSERT_FALSE(status.ok()) << c.what;
    EXPECT_EQ(status.error().kind(), c.kind) << c.what << ": " << status.error().text();
    const auto alone = read_sample(*cache, 3, readers);
    ASSERT_FALSE(alone.ok());
    EXPECT_EQ(status.error().text(), alone.error().text()) << c.what;
    ASSERT_EQ(got.size(), 3u) << c.what;
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], samples[i].data) << c.what;
  }
}

TEST_F(ReadSampleTest, SampleAndShardNumbersOutOfRange) {
  write_cache(make_samples(3), CompressionAlgo::None);
  auto cache = open(false);
  ShardReaderCache readers;
  expect_failure(read_sample(*cache, 3, readers), ErrorKind::InvalidCache, "sample index 3 is out of range");
  expect_failure(read_sample(*cache, UINT64_MAX, readers), ErrorKind::InvalidCache,
                 "sample index 18446744073709551615 is out of range");
  cache->index[1].shard_id = 7;
  expect_failure(read_sample(*cache, 1, readers), ErrorKind::InvalidCache, "shard id 7 is out of range");
  EXPECT_EQ(readers.size(), 0u);
}

TEST_F(ReadSampleTest, RecordLengthFieldIsChecked) {
  write_cache(make_samples(1), CompressionAlgo::None);
  const std::uint64_t length = open(false)->index[0].length;
  struct Case {
    std::uint64_t n;
    std::string message;
  };
  const std::vector<Case> cases = {
      {UINT64_MAX - 7, "metadata record length overflowed"},  // 2^64 - 8
      {UINT64_MAX, "metadata record length overflowed"},
      {UINT64_MAX - 8, "invalid binary record"},  // n + 8 fits but exceeds the record
      {length - 7, "invalid binary record"},
  };
  for (const Case& c : cases) {
    std::string field(8, '\0');
    store_u64_le(reinterpret_cast<std::uint8_t*>(field.data()), c.n);
    patch(shard_path(0), 0, field);
    auto cache = open(false);
    ShardReaderCache readers;
    expect_failure(read_sample(*cache, 0, readers), ErrorKind::InvalidCache, c.message);
  }
}

TEST_F(ReadSampleTest, RecordShorterThanItsHeader) {
  write_cache(make_samples(1), CompressionAlgo::None);
  set_record_length(0, 7);
  ShardReaderCache readers;
  expect_failure(read_sample(*open(true), 0, readers), ErrorKind::InvalidCache, "invalid binary record");
}

TEST_F(ReadSampleTest, Lz4PayloadOfFourBytesIsEmptyAndOfThreeFails) {
  std::vector<Sample> samples = make_samples(1);
  samples[0].data.clear();
  write_cache(samples, CompressionAlgo::Lz4);
  // The writer's payload is the 4-byte prefix 0 and a one-byte empty block.
  const std::uint64_t full = open(false)->index[0].length;
  set_record_length(0, full - 1);
  ShardReaderCache readers;
  auto read = read_sample(*open(true), 0, readers);
  ASSERT_TRUE(read.ok()) << read.error().text();
  EXPECT_TRUE(read->data().empty());
  EXPECT_EQ(read->metadata, row_of(samples[0]));

  set_record_length(0, full - 2);
  expect_failure(read_sample(*open(true), 0, readers), ErrorKind::InvalidCache, "failed to decompress lz4 payload: ");
}

TEST_F(ReadSampleTest, MetadataIsDecodedBeforeThePayload) {
  write_cache(make_samples(1), CompressionAlgo::Lz4);
  std::uint8_t header[8];
  std::ifstream(shard_path(0), std::ios::binary).read(reinterpret_cast<char*>(header), 8);
  // Both parts broken: the JSON's opening brace, and a payload cut to 3 bytes.
  patch(shard_path(0), 8, "[");
  set_record_length(0, 8 + load_u64_le(header) + 3);
  ShardReaderCache readers;
  auto read = read_sample(*open(false), 0, readers);
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().kind(), ErrorKind::Json) << read.error().text();
}

TEST_F(ReadSampleTest, EmbeddedMetadataIsComparedWithTheTableOnlyWhenValidating) {
  const std::vector<Sample> samples = make_samples(4);
  write_cache(samples, CompressionAlgo::None);
  std::vector<MetadataRow> rows;
  for (const Sample& s : samples) rows.push_back(row_of(s));
  rows[2][2] = MetadataValue{99.5};
  auto manifest = read_manifest_file(dir_);
  ASSERT_TRUE(manifest.ok());
  ASSERT_TRUE(write_metadata_table(dir_ / "metadata.arrow", manifest->metadata_schema, rows).ok());
  auto digest = sha256_file(dir_ / "metadata.arrow");
  ASSERT_TRUE(digest.ok());
  edit_manifest([&](Manifest& m) { m.metadata_sha256 = *digest; });

  ShardReaderCache readers;
  auto plain = open(false);
  auto read = read_sample(*plain, 2, readers);
  ASSERT_TRUE(read.ok()) << read.error().text();
  EXPECT_EQ(read->metadata, row_of(samples[2]));

  auto validating = open(true);
  EXPECT_TRUE(read_sample(*validating, 1, readers).ok());
  expect_failure(read_sample(*validating, 2, readers), ErrorKind::InvalidCache,
                 "embedded metadata does not match metadata.arrow for sample 2");
}

TEST_F(ReadSampleTest, ValidatingReadLoadsMissingRowsUnderTheLock) {
  const std::vector<Sample> samples = make_samples(3);
  write_cache(samples, CompressionAlgo::None);
  auto cache = open(true);
  ShardReaderCache readers;

  cache->rows.reset();
  ASSERT_TRUE(read_sample(*cache, 1, readers).ok());
  ASSERT_TRUE(cache->rows.has_value());
  EXPECT_EQ(cache->rows->size(), 3u);

  cache->rows->pop_back();
  expect_failure(read_sample(*cache, 2, readers), ErrorKind::InvalidCache, "metadata row 2 is out of range");

  // A failed load is returned as it is and leaves the slot empty for a retry.
  cache->rows.reset();
  fs::rename(dir_ / "metadata.arrow", root_ / "aside");
  expect_failure(read_sample(*cache, 0, readers), ErrorKind::Io, "");
  EXPECT_FALSE(cache->rows.has_value());
  fs::rename(root_ / "aside", dir_ / "metadata.arrow");
  EXPECT_TRUE(read_sample(*cache, 0, readers).ok());

  cache->rows_poisoned = true;
  expect_failure(read_sample(*cache, 0, readers), ErrorKind::WorkerFailed, "");
}

TEST_F(ReadSampleTest, ShardChangedAfterOpeningFailsAsIo) {
  write_cache(make_samples(3), CompressionAlgo::None, 1);
  auto cache = open(false);
  ShardReaderCache readers;
  fs::resize_file(shard_path(1), 3);
  expect_failure(read_sample(*cache, 1, readers), ErrorKind::Io, "failed to fill whole buffer");
  fs::remove(shard_path(2));
  expect_failure(read_sample(*cache, 2, readers), ErrorKind::Io, "No such file or directory");
  EXPECT_EQ(readers.size(), 1u);
}

TEST_F(ReadSampleTest, ReaderCacheEvictsByAgeOfOpening) {
  // One record per shard: 66 shards.
  write_cache(make_samples(66), CompressionAlgo::None, 1);
  auto cache = open(false);
  ASSERT_EQ(cache->manifest.shards.size(), 66u);
  const auto path = [&](int k) { return cache->shard_files[k].path; };
  ShardReaderCache readers;
  for (int k = 0; k < 64; ++k) ASSERT_TRUE(read_sample(*cache, k, readers).ok());
  EXPECT_EQ(readers.size(), 64u);
  // Use does not refresh: shard 0, read just before, still goes first.
  ASSERT_TRUE(read_sample(*cache, 0, readers).ok());
  ASSERT_TRUE(read_sample(*cache, 64, readers).ok());
  EXPECT_EQ(readers.size(), 64u);
  EXPECT_FALSE(readers.contains(path(0)));
  EXPECT_TRUE(readers.contains(path(1)));
  EXPECT_TRUE(readers.contains(path(64)));
  EXPECT_EQ(readers.opened_files(), 65u);

  ASSERT_TRUE(read_sample(*cache, 0, readers).ok());
  EXPECT_FALSE(readers.contains(path(1)));
  ASSERT_TRUE(read_sample(*cache, 65, readers).ok());
  EXPECT_FALSE(readers.contains(path(2)));
  EXPECT_TRUE(readers.contains(path(0)));
  EXPECT_EQ(readers.opened_files(), 67u);
}

TEST_F(ReadSampleTest, RepeatedReadsShareOneOpenFile) {
  write_cache(make_samples(4), CompressionAlgo::None);
  auto cache = open(false);
  // The same directory spelled differently is the same path.
  auto respelled = open_cache(fs::path(root_.native() + "//cache/"), false);
  ASSERT_TRUE(respelled.ok()) << respelled.error().text();
  ShardReaderCache readers;
  ASSERT_TRUE(read_sample(*cache, 0, readers).ok());
  ASSERT_TRUE(read_sample(*cache, 0, readers).ok());
  ASSERT_TRUE(read_sample(**respelled, 0, readers).ok());
  EXPECT_EQ(readers.opened_files(), 1u);
  EXPECT_EQ(readers.size(), 1u);
}

TEST_F(ReadSampleTest, ThreadsReadOneCacheConcurrently) {
  const std::vector<Sample> samples = make_samples(40);
  write_cache(samples, CompressionAlgo::Lz4, 2000);
  auto cache = open(true);
  cache->rows.reset();  // the first readers race to load the table
  std::vector<int> failures(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      ShardReaderCache& readers = this_thread_reader_cache();
      for (int round = 0; round < 5; ++round) {
        for (std::size_t i = 0; i < samples.size(); ++i) {
          const std::size_t id = (i * 7 + t) % samples.size();
          auto read = read_sample(*cache, id, readers);
          if (!read.ok() || text_of(*read) != samples[id].data || read->metadata != row_of(samples[id])) {
            ++failures[t];
          }
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace brivane
