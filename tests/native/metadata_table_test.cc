#include "cache/metadata_table.h"

#include <gtest/gtest.h>

#include <arrow/api.h>
#include <arrow/io/file.h>
#include <arrow/ipc/reader.h>
#include <arrow/ipc/writer.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

namespace brivane {
namespace {

namespace fs = std::filesystem;

class MetadataTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("brivane_metadata_table_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path file() const { return dir_ / "metadata.arrow"; }

  // Writes `batch` as an IPC file with Arrow alone, for files this system would not produce.
  void write_foreign(const std::shared_ptr<arrow::RecordBatch>& batch) {
    auto sink = arrow::io::FileOutputStream::Open(file().string()).ValueOrDie();
    auto writer = arrow::ipc::MakeFileWriter(sink, batch->schema()).ValueOrDie();
    ASSERT_TRUE(writer->WriteRecordBatch(*batch).ok());
    ASSERT_TRUE(writer->Close().ok());
    ASSERT_TRUE(sink->Close().ok());
  }

  fs::path dir_;
};

const MetadataSchema kAllKinds = {
    {"flag", MetadataKind::Bool},
    {"count", MetadataKind::Int},
    {"score", MetadataKind::Float},
    {"label", MetadataKind::String},
};

std::vector<MetadataRow> all_kind_rows() {
  return {
      {true, std::int64_t{0}, 0.5, std::string("")},
      {false, std::numeric_limits<std::int64_t>::min(), -0.0, std::string("caf\xc3\xa9 \"q\"\n")},
      {true, std::numeric_limits<std::int64_t>::max(), std::numeric_limits<double>::infinity(), std::string("z")},
      {false, std::int64_t{-7}, 1e300, std::string(1000, 'x')},
      {true, std::int64_t{42}, 3.0, std::string("end")},
      {true, std::int64_t{1}, 2.0, std::string("nine rows cross a bitmap byte")},
      {false, std::int64_t{2}, 2.5, std::string("a")},
      {true, std::int64_t{3}, 1e-9, std::string("b")},
      {true, std::int64_t{4}, -4.0, std::string("c")},
  };
}

TEST_F(MetadataTableTest, RoundTripsEveryKind) {
  const auto rows = all_kind_rows();
  ASSERT_TRUE(write_metadata_table(file(), kAllKinds, rows).ok());
  auto read = read_metadata_table(file(), kAllKinds);
  ASSERT_TRUE(read.ok()) << read.error().text();
  EXPECT_EQ(*read, rows);
  EXPECT_TRUE(std::signbit(std::get<double>((*read)[1][2])));
}

TEST_F(MetadataTableTest, FileIsOneBatchOfNonNullableColumnsWithoutMetadata) {
  ASSERT_TRUE(write_metadata_table(file(), kAllKinds, all_kind_rows()).ok());
  EXPECT_EQ(fs::status(file()).permissions() & fs::perms::owner_write, fs::perms::owner_write);

  auto input = arrow::io::ReadableFile::Open(file().string()).ValueOrDie();
  auto reader = arrow::ipc::RecordBatchFileReader::Open(input).ValueOrDie();
  EXPECT_EQ(reader->version(), arrow::ipc::MetadataVersion::V5);
  ASSERT_EQ(reader->num_record_batches(), 1);
  const auto schema = reader->schema();
  EXPECT_EQ(schema->metadata(), nullptr);
  EXPECT_TRUE(schema->Equals(*arrow_schema_for(kAllKinds)));
  const std::vector<std::shared_ptr<arrow::DataType>> types = {arrow::boolean(), arrow::int64(), arrow::float64(),
                                                                arrow::utf8()};
  ASSERT_EQ(schema->num_fields(), 4);
  for (int j = 0; j < 4; ++j) {
    EXPECT_EQ(schema->field(j)->name(), kAllKinds[j].name);
    EXPECT_FALSE(schema->field(j)->nullable());
    EXPECT_EQ(schema->field(j)->metadata(), nullptr);
    EXPECT_TRUE(schema->field(j)->type()->Equals(*types[j]));
  }
  auto batch = reader->ReadRecordBatch(0).ValueOrDie();
  EXPECT_EQ(batch->num_rows(), 9);
  for (const auto& column : batch->columns()) EXPECT_EQ(column->null_count(), 0);
}

TEST_F(MetadataTableTest, EmptySchemaKeepsItsRowCount) {
  const std::vector<MetadataRow> rows(3);
  ASSERT_TRUE(write_metadata_table(file(), {}, rows).ok());
  auto batches = read_metadata_batches(file());
  ASSERT_TRUE(batches.ok()) << batches.error().text();
  ASSERT_EQ(batches->size(), 1u);
  EXPECT_EQ((*batches)[0]->num_columns(), 0);
  EXPECT_EQ((*batches)[0]->num_rows(), 3);
  auto read = read_metadata_table(file(), {});
  ASSERT_TRUE(read.ok()) << read.error().text();
  EXPECT_EQ(*read, rows);
}

TEST_F(MetadataTableTest, RowsThatDoNotFitTheSchemaAreRefusedBeforeTheFileExists) {
  struct Case {
    std::vector<MetadataRow> rows;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{{true, std::int64_t{1}, 0.5, std::string("ok")}, {true, std::int64_t{1}}}, "metadata column is out of range"},
      {{{true, std::int64_t{1}, 0.5, std::string("ok")}, {true, 1.0, 0.5, std::string("x")}},
       "metadata kind drifted"},
  };
  for (const auto& c : cases) {
    auto status = write_metadata_table(file(), kAllKinds, c.rows);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().kind(), ErrorKind::InvalidArgument);
    EXPECT_EQ(status.error().payload(), c.message);
    EXPECT_FALSE(fs::exists(file()));
  }
}

TEST_F(MetadataTableTest, ReadingChecksColumnsByPosition) {
  ASSERT_TRUE(write_metadata_table(file(), kAllKinds, all_kind_rows()).ok());
  struct Case {
    MetadataSchema schema;
    std::string message;  // empty: success
  };
  const std::vector<Case> cases = {
      // names are not compared, extra columns are ignored
      {{{"other", MetadataKind::Bool}, {"names", MetadataKind::Int}}, ""},
      {{{"flag", MetadataKind::Int}}, "metadata 'flag' is not int"},
      {{{"flag", MetadataKind::Bool}, {"count", MetadataKind::Float}}, "metadata 'count' is not float"},
      {{{"f", MetadataKind::Bool}, {"c", MetadataKind::Int}, {"s", MetadataKind::String}}, "metadata 's' is not string"},
      {{kAllKinds[0], kAllKinds[1], kAllKinds[2], {"label", MetadataKind::Bool}}, "metadata 'label' is not bool"},
      {{kAllKinds[0], kAllKinds[1], kAllKinds[2], kAllKinds[3], {"more", MetadataKind::Int}},
       "metadata.arrow has fewer columns than the schema"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    auto read = read_metadata_table(file(), c.schema);
    if (c.message.empty()) {
      ASSERT_TRUE(read.ok()) << read.error().text();
      ASSERT_EQ(read->size(), 9u);
      EXPECT_EQ((*read)[2], (MetadataRow{true, std::numeric_limits<std::int64_t>::max()}));
    } else {
      ASSERT_FALSE(read.ok());
      EXPECT_EQ(read.error().kind(), ErrorKind::InvalidCache);
      EXPECT_EQ(read.error().payload(), c.message);
    }
  }
}

TEST_F(MetadataTableTest, ForeignTablesWithNullsOrSeveralBatches) {
  // Several batches are read in file order.
  arrow::Int64Builder builder;
  ASSERT_TRUE(builder.AppendValues({5, 6, 7}).ok());
  auto values = builder.Finish().ValueOrDie();
  auto schema = arrow::schema({arrow::field("n", arrow::int64())});
  {
    auto sink = arrow::io::FileOutputStream::Open(file().string()).ValueOrDie();
    auto writer = arrow::ipc::MakeFileWriter(sink, schema).ValueOrDie();
    ASSERT_TRUE(writer->WriteRecordBatch(*arrow::RecordBatch::Make(schema, 3, {values})).ok());
    ASSERT_TRUE(writer->WriteRecordBatch(*arrow::RecordBatch::Make(schema, 2, {values->Slice(1)})).ok());
    ASSERT_TRUE(writer->Close().ok());
    ASSERT_TRUE(sink->Close().ok());
  }
  auto read = read_metadata_table(file(), {{"n", MetadataKind::Int}});
  ASSERT_TRUE(read.ok()) << read.error().text();
  const std::vector<MetadataRow> expected = {{std::int64_t{5}}, {std::int64_t{6}}, {std::int64_t{7}},
                                             {std::int64_t{6}}, {std::int64_t{7}}};
  EXPECT_EQ(*read, expected);

  // A null entry is not a value of any kind.
  arrow::StringBuilder strings;
  ASSERT_TRUE(strings.Append("a").ok());
  ASSERT_TRUE(strings.AppendNull().ok());
  auto with_null = strings.Finish().ValueOrDie();
  auto null_schema = arrow::schema({arrow::field("s", arrow::utf8())});
  write_foreign(arrow::RecordBatch::Make(null_schema, 2, {with_null}));
  read = read_metadata_table(file(), {{"s", MetadataKind::String}});
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().kind(), ErrorKind::InvalidCache);
  EXPECT_EQ(read.error().payload(), "metadata 's' contains null");
}

TEST_F(MetadataTableTest, UnreadableFilesFailAsIoOrArrow) {
  auto missing = read_metadata_table(dir_ / "absent.arrow", {});
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind(), ErrorKind::Io);

  auto directory = read_metadata_table(dir_, {});
  ASSERT_FALSE(directory.ok());
  EXPECT_EQ(directory.error().kind(), ErrorKind::Io);

  std::ofstream(file()) << "not an arrow file at all, but long enough to hold a footer";
  auto garbage = read_metadata_table(file(), {});
  ASSERT_FALSE(garbage.ok());
  EXPECT_EQ(garbage.error().kind(), ErrorKind::Arrow);

  // A valid file cut short loses its footer.
  ASSERT_TRUE(write_metadata_table(file(), kAllKinds, all_kind_rows()).ok());
  fs::resize_file(file(), fs::file_size(file()) - 10);
  auto truncated = read_metadata_table(file(), kAllKinds);
  ASSERT_FALSE(truncated.ok());
  EXPECT_EQ(truncated.error().kind(), ErrorKind::Arrow);

  auto uncreatable = write_metadata_table(dir_ / "no" / "such" / "dir.arrow", {}, {});
  ASSERT_FALSE(uncreatable.ok());
  EXPECT_EQ(uncreatable.error().kind(), ErrorKind::Io);
}

TEST_F(MetadataTableTest, CorruptStringOffsetsAreRejectedNotRead) {
  ASSERT_TRUE(write_metadata_table(file(), {{"s", MetadataKind::String}},
                                   {{std::string("abc")}, {std::string("defgh")}})
                  .ok());
  // Find the offsets buffer (0, 3, 8 as int32) and point the last one far past the data.
  std::string bytes;
  {
    std::ifstream in(file(), std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  const std::string offsets("\0\0\0\0\3\0\0\0\x08\0\0\0", 12);
  const auto at = bytes.find(offsets);
  ASSERT_NE(at, std::string::npos);
  bytes[at + 9] = '\x7f';
  std::ofstream(file(), std::ios::binary | std::ios::trunc) << bytes;
  auto read = read_metadata_table(file(), {{"s", MetadataKind::String}});
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().kind(), ErrorKind::Arrow);
}

}  // namespace
}  // namespace brivane
