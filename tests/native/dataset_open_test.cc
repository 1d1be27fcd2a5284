#include "dataset/dataset_open.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "cache/manifest.h"
#include "cache/open_cache.h"
#include "dataset_test_caches.h"
#include "runtime/worker_pool.h"

namespace brivane {
namespace {

using testing_caches::TempRoot;

TEST(NumberCachesTest, PrefixSumsAndOverflow) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  struct Case {
    std::vector<std::uint64_t> counts;
    std::vector<std::uint64_t> offsets;
    std::uint64_t total;
  };
  const std::vector<Case> cases = {
      {{5}, {0}, 5},
      {{3, 4}, {0, 3}, 7},
      {{2, 0, 2}, {0, 2, 2}, 4},
      {{0, 0, 1}, {0, 0, 0}, 1},
      {{kMax - 1, 1}, {0, kMax - 1}, kMax},
  };
  for (const Case& c : cases) {
    auto numbering = number_caches(c.counts);
    ASSERT_TRUE(numbering.ok());
    EXPECT_EQ(numbering->offsets, c.offsets);
    EXPECT_EQ(numbering->total, c.total);
  }
  for (const std::vector<std::uint64_t>& counts : {std::vector<std::uint64_t>{kMax, 1},
                                                    std::vector<std::uint64_t>{1, kMax, 0}}) {
    auto numbering = number_caches(counts);
    ASSERT_FALSE(numbering.ok());
    EXPECT_EQ(numbering.error().kind(), ErrorKind::InvalidArgument);
    EXPECT_EQ(numbering.error().payload(), "total sample count overflowed usize");
  }
}

class OpenDatasetTest : public TempRoot {
 protected:
  void SetUp() override {
    TempRoot::SetUp();
    auto pool = WorkerPool::start(2);
    ASSERT_TRUE(pool.ok());
    pool_ = *pool;
  }

  Result<std::shared_ptr<DatasetCore>> open(const std::vector<std::string>& paths, std::uint64_t prefetch = 4,
                                            bool validate = false) {
    return open_dataset(pool_, 2, paths, DatasetSettings{7, prefetch, true, validate});
  }

  static void expect_error(const Result<std::shared_ptr<DatasetCore>>& opened, ErrorKind kind,
                           const std::string& payload) {
    ASSERT_FALSE(opened.ok());
    EXPECT_EQ(opened.error().kind(), kind) << opened.error().text();
    EXPECT_EQ(opened.error().payload(), payload);
  }

  void edit_manifest(const std::string& dir, void (*edit)(Manifest&)) {
    auto manifest = read_manifest_file(dir);
    ASSERT_TRUE(manifest.ok());
    edit(*manifest);
    ASSERT_TRUE(write_manifest_file(std::filesystem::path(dir) / "manifest.json", *manifest).ok());
  }

  std::shared_ptr<WorkerPool> pool_;
};

TEST_F(OpenDatasetTest, AssemblesCoreInPathOrder) {
  // More paths than workers, of different sizes: ids follow the paths, not
  // the order in which the opens finish.
  std::vector<std::string> paths;
  std::vector<std::uint64_t> expected_offsets;
  std::uint64_t total = 0;
  for (int k = 0; k < 8; ++k) {
    paths.push_back(write_cache("c" + std::to_string(k), 8 - k));
    expected_offsets.push_back(total);
    total += 8 - k;
  }
  auto core = open(paths, 3, true);
  ASSERT_TRUE(core.ok()) << core.error().text();
  const DatasetCore& c = **core;
  ASSERT_EQ(c.caches->size(), 8u);
  for (int k = 0; k < 8; ++k) EXPECT_EQ((*c.caches)[k]->manifest.source_name, "c" + std::to_string(k));
  EXPECT_EQ(*c.cache_offsets, expected_offsets);
  EXPECT_EQ(c.total, total);
  EXPECT_EQ(c.sampling.epoch_len, total);
  EXPECT_EQ(c.sampling.sequential_cursor, 0u);
  EXPECT_EQ(c.sampling.draw_offset, 0u);
  EXPECT_FALSE(c.sampling.override_table.has_value());
  EXPECT_EQ(c.seed, 7u);
  EXPECT_EQ(c.prefetch_size, 3u);
  EXPECT_EQ(c.num_workers, 2u);
  EXPECT_TRUE(c.shuffle);
  EXPECT_EQ(c.schema, (MetadataSchema{{"i", MetadataKind::Int}, {"name", MetadataKind::String}}));
  EXPECT_EQ(c.pool, pool_);
}

TEST_F(OpenDatasetTest, SamePathTwiceAndEmptyCacheInTheMiddle) {
  const std::string a = write_cache("a", 2);
  const std::string empty = write_empty_cache("empty");
  auto core = open({a, empty, a});
  ASSERT_TRUE(core.ok()) << core.error().text();
  EXPECT_EQ(*(*core)->cache_offsets, (std::vector<std::uint64_t>{0, 2, 2}));
  EXPECT_EQ((*core)->total, 4u);
  EXPECT_NE((*(*core)->caches)[0], (*(*core)->caches)[2]);  // two caches, each opened on its own
}

TEST_F(OpenDatasetTest, RefusalsInTheirOrder) {
  const std::string good = write_cache("good", 3);
  const std::string missing = (root_ / "missing").string();
  const std::string empty = write_empty_cache("empty");

  // The argument checks come before any path is touched.
  expect_error(open({}, 0), ErrorKind::InvalidArgument, "CachedDataset requires at least one cache path");
  expect_error(open({missing}, 0), ErrorKind::InvalidArgument, "prefetch_size must be greater than zero");

  // A cache that fails to open fails the dataset with open_cache's own error.
  auto not_there = open({good, missing});
  ASSERT_FALSE(not_there.ok());
  auto direct = open_cache(missing, false);
  ASSERT_FALSE(direct.ok());
  EXPECT_EQ(not_there.error().kind(), direct.error().kind());
  EXPECT_EQ(not_there.error().text(), direct.error().text());

  expect_error(open({empty, empty}), ErrorKind::InvalidCache, "dataset contains no physical samples");
}

TEST_F(OpenDatasetTest, SchemasMustMatchFieldByField) {
  const std::string base = write_cache("base", 2);
  const std::string swapped = write_cache("swapped", 2);
  edit_manifest(swapped, [](Manifest& m) { std::swap(m.metadata_schema[0], m.metadata_schema[1]); });
  const std::string retyped = write_cache("retyped", 2);
  edit_manifest(retyped, [](Manifest& m) { m.metadata_schema[0].kind = MetadataKind::Float; });
  const std::string shorter = write_cache("shorter", 2);
  edit_manifest(shorter, [](Manifest& m) { m.metadata_schema.pop_back(); });
  const std::string renamed = write_cache("renamed", 2);
  edit_manifest(renamed, [](Manifest& m) { m.metadata_schema[1].name = "Name"; });

  for (const std::string& other : {swapped, retyped, shorter, renamed}) {
    expect_error(open({base, other}), ErrorKind::InvalidCache, "all caches must share the same metadata schema");
  }
  // The schema check runs before the sample count check.
  const std::string empty_retyped = write_empty_cache("empty_retyped");
  edit_manifest(empty_retyped, [](Manifest& m) { m.metadata_schema[0].kind = MetadataKind::Bool; });
  const std::string empty = write_empty_cache("empty");
  expect_error(open({empty, empty_retyped}), ErrorKind::InvalidCache,
               "all caches must share the same metadata schema");
}

}  // namespace
}  // namespace brivane
