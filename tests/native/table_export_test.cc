#include <gtest/gtest.h>

#include <arrow/api.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "table/table_exchange.h"
#include "table_test_support.h"

namespace brivane::table_test {
namespace {

std::shared_ptr<arrow::RecordBatch> meta_batch(const std::string& ids, const std::string& names) {
  return make_batch({{"id", col(arrow::int64(), ids)}, {"name", col(arrow::utf8(), names)}}, -1, false);
}

class TableExportTest : public TableFixture {
 protected:
  void SetUp() override {
    TableFixture::SetUp();
    schema_ = {{"id", MetadataKind::Int}, {"name", MetadataKind::String}};
  }

  std::vector<std::uint64_t> u64s(const arrow::RecordBatch& batch, const std::string& name) {
    const auto& array = static_cast<const arrow::UInt64Array&>(*batch.GetColumnByName(name));
    return {array.raw_values(), array.raw_values() + array.length()};
  }
  std::vector<double> weights(const arrow::RecordBatch& batch) {
    const auto& array = static_cast<const arrow::DoubleArray&>(*batch.GetColumnByName("weight"));
    return {array.raw_values(), array.raw_values() + array.length()};
  }

  void expect_error(ErrorKind kind, const std::string& text) {
    auto exported = export_bytes(core());
    ASSERT_FALSE(exported.ok());
    EXPECT_EQ(exported.error().kind(), kind);
    EXPECT_EQ(exported.error().text().rfind(text, 0), 0u) << exported.error().text();
  }
};

TEST_F(TableExportTest, DefaultTableOfTwoCaches) {
  add_cache({meta_batch("[10, 11, 12]", R"(["a", "b", "c"])")});
  add_cache({meta_batch("[20, 21]", R"(["d", "e"])")});
  auto exported = export_bytes(core());
  ASSERT_TRUE(exported.ok()) << exported.error().text();
  ReadBack table = read_ipc(*exported);

  EXPECT_EQ(table.version, arrow::ipc::MetadataVersion::V5);
  EXPECT_TRUE(table.schema->Equals(*arrow::schema({arrow::field("cache_id", arrow::uint64(), false),
                                                   arrow::field("sample_id", arrow::uint64(), false),
                                                   arrow::field("id", arrow::int64(), false),
                                                   arrow::field("name", arrow::utf8(), false),
                                                   arrow::field("weight", arrow::float64(), false)}),
                                    /*check_metadata=*/true));
  EXPECT_EQ(table.schema->metadata(), nullptr);
  for (const auto& field : table.schema->fields()) EXPECT_EQ(field->metadata(), nullptr);
  ASSERT_EQ(table.batches.size(), 2u);
  EXPECT_EQ(u64s(*table.batches[0], "cache_id"), (std::vector<std::uint64_t>{0, 0, 0}));
  EXPECT_EQ(u64s(*table.batches[0], "sample_id"), (std::vector<std::uint64_t>{0, 1, 2}));
  EXPECT_EQ(u64s(*table.batches[1], "cache_id"), (std::vector<std::uint64_t>{1, 1}));
  EXPECT_EQ(u64s(*table.batches[1], "sample_id"), (std::vector<std::uint64_t>{0, 1}));
  EXPECT_EQ(weights(*table.batches[1]), (std::vector<double>{1.0, 1.0}));
  EXPECT_TRUE(table.batches[1]->GetColumnByName("name")->Equals(*col(arrow::utf8(), R"(["d", "e"])")));
  EXPECT_TRUE(table.batches[0]->GetColumnByName("id")->Equals(*col(arrow::int64(), "[10, 11, 12]")));

  // Nothing is cached between calls, yet the bytes come out the same.
  auto again = export_bytes(core());
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(*again, *exported);
  EXPECT_FALSE(core().sampling.override_table.has_value());
}

TEST_F(TableExportTest, EveryStoredBatchBecomesOneOutputBatch) {
  add_cache({meta_batch("[1, 2]", R"(["a", "b"])"), meta_batch("[]", "[]"),
             meta_batch("[3, 4, 5]", R"(["c", "d", "e"])")});
  auto exported = export_bytes(core());
  ASSERT_TRUE(exported.ok()) << exported.error().text();
  ReadBack table = read_ipc(*exported);
  ASSERT_EQ(table.batches.size(), 3u);
  EXPECT_EQ(u64s(*table.batches[0], "sample_id"), (std::vector<std::uint64_t>{0, 1}));
  EXPECT_EQ(table.batches[1]->num_rows(), 0);
  EXPECT_EQ(u64s(*table.batches[2], "sample_id"), (std::vector<std::uint64_t>{2, 3, 4}));
}

TEST_F(TableExportTest, SchemaWithoutFieldsExportsIdentitiesAndWeights) {
  schema_.clear();
  add_cache({make_batch({}, 3)});
  auto exported = export_bytes(core());
  ASSERT_TRUE(exported.ok()) << exported.error().text();
  ReadBack table = read_ipc(*exported);
  ASSERT_EQ(table.schema->num_fields(), 3);
  EXPECT_EQ(table.schema->field_names(), (std::vector<std::string>{"cache_id", "sample_id", "weight"}));
  ASSERT_EQ(table.batches.size(), 1u);
  EXPECT_EQ(u64s(*table.batches[0], "sample_id"), (std::vector<std::uint64_t>{0, 1, 2}));
}

struct BadCache {
  const char* label;
  std::shared_ptr<arrow::RecordBatch> stored;
  std::int64_t sample_count;  // -1: the stored rows
  ErrorKind kind;
  std::string text;
};

TEST_F(TableExportTest, RefusesStoredTablesThatDoNotFitTheManifest) {
  const std::vector<BadCache> cases = {
      {"extra column",
       make_batch({{"id", col(arrow::int64(), "[1]")}, {"name", col(arrow::utf8(), R"(["a"])")},
                   {"more", col(arrow::int64(), "[1]")}}),
       -1, ErrorKind::InvalidCache, "metadata batch column count does not match manifest"},
      {"renamed column",
       make_batch({{"id", col(arrow::int64(), "[1]")}, {"label", col(arrow::utf8(), R"(["a"])")}}), -1,
       ErrorKind::InvalidCache, "metadata column 'name' does not match manifest schema"},
      {"large text is not text here",
       make_batch({{"id", col(arrow::int64(), "[1]")}, {"name", col(arrow::large_utf8(), R"(["a"])")}}), -1,
       ErrorKind::InvalidCache, "metadata column 'name' does not match manifest schema"},
      {"narrow int", make_batch({{"id", col(arrow::int32(), "[1]")}, {"name", col(arrow::utf8(), R"(["a"])")}}), -1,
       ErrorKind::InvalidCache, "metadata column 'id' does not match manifest schema"},
      {"fewer rows than samples", meta_batch("[1, 2]", R"(["a", "b"])"), 4, ErrorKind::InvalidCache,
       "metadata row count for cache 1 expected 4, got 2"},
      {"more rows than samples", meta_batch("[1, 2]", R"(["a", "b"])"), 1, ErrorKind::InvalidCache,
       "metadata row count for cache 1 expected 1, got 2"},
      {"null in a stored column",
       make_batch({{"id", col(arrow::int64(), "[1, null]")}, {"name", col(arrow::utf8(), R"(["a", "b"])")}}), -1,
       ErrorKind::Arrow, "Arrow error: "},
  };
  for (const BadCache& c : cases) {
    SCOPED_TRACE(c.label);
    caches_.clear();  // the cache directories are written afresh
    core_.reset();
    add_cache({meta_batch("[7]", R"(["ok"])")});
    add_cache({c.stored}, c.sample_count);
    expect_error(c.kind, c.text);
  }
}

TEST_F(TableExportTest, UnreadableMetadataFiles) {
  add_cache({meta_batch("[1]", R"(["a"])")});
  const fs::path dir = caches_[0]->dir;
  fs::remove(dir / "metadata.arrow");
  expect_error(ErrorKind::Io, "I/O error: ");

  std::FILE* f = std::fopen((dir / "metadata.arrow").c_str(), "wb");
  std::fputs("not an arrow file at all", f);
  std::fclose(f);
  expect_error(ErrorKind::Arrow, "Arrow error: ");
}

TEST_F(TableExportTest, StoredReplacementIsReturnedWithoutReadingCaches) {
  add_cache({meta_batch("[1]", R"(["a"])")});
  const std::string stored = "any bytes at all";
  ActiveTableOverride table;
  table.rows = std::make_shared<const std::vector<std::uint64_t>>(std::vector<std::uint64_t>{0});
  table.weights = std::make_shared<const std::vector<double>>(std::vector<double>{1.0});
  table.ipc = std::make_shared<const std::string>(stored);
  install_active_table(core().sampling, table);
  fs::remove(caches_[0]->dir / "metadata.arrow");

  auto exported = export_bytes(core());
  ASSERT_TRUE(exported.ok()) << exported.error().text();
  EXPECT_EQ(*exported, stored);
}

TEST_F(TableExportTest, PoisonedLockFailsBothWays) {
  add_cache({meta_batch("[1]", R"(["a"])")});
  core().sampling_poisoned = true;
  expect_error(ErrorKind::WorkerFailed, "runtime worker failed");
  const std::string bytes = ipc_bytes({make_batch({{"cache_id", col(arrow::uint64(), "[0]")},
                                                    {"sample_id", col(arrow::uint64(), "[0]")},
                                                    {"id", col(arrow::int64(), "[1]")},
                                                    {"name", col(arrow::utf8(), R"(["a"])")},
                                                    {"weight", col(arrow::float64(), "[1]")}})});
  const Status replaced = replace_active_table(core(), as_span(bytes));
  ASSERT_FALSE(replaced.ok());
  EXPECT_EQ(replaced.error().kind(), ErrorKind::WorkerFailed);
  EXPECT_FALSE(core().sampling.override_table.has_value());
}

TEST_F(TableExportTest, DestinationFailureEndsTheExport) {
  add_cache({meta_batch("[1]", R"(["a"])")});
  const Status status = export_active_table(
      core(), [](std::size_t) -> Result<std::uint8_t*> { return ModuleError::invalid_argument("no room"); });
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().text(), "no room");
}

}  // namespace
}  // namespace brivane::table_test
