// Row counts in metadata.arrow are claims of the file; a batch without
// columns backs them with no bytes, so they must not drive an allocation.
#include <gtest/gtest.h>

#include <arrow/record_batch.h>
#include <arrow/type.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "cache/metadata_table.h"

namespace brivane {
namespace {

std::shared_ptr<arrow::RecordBatch> empty_batch(std::int64_t rows) {
  return arrow::RecordBatch::Make(arrow::schema(arrow::FieldVector{}), rows, arrow::ArrayVector{});
}

TEST(MetadataRowCount, HugeClaimOfAColumnlessBatchIsRefused) {
  const MetadataSchema schema;
  for (const auto& batches : {std::vector{empty_batch(std::numeric_limits<std::int64_t>::max())},
                              std::vector{empty_batch(std::int64_t{1} << 62), empty_batch(std::int64_t{1} << 62),
                                          empty_batch(std::int64_t{1} << 62), empty_batch(std::int64_t{1} << 62)}}) {
    auto rows = metadata_rows_from_batches(schema, batches);
    ASSERT_FALSE(rows.ok());
    EXPECT_EQ(rows.error().kind(), ErrorKind::InvalidCache);
    EXPECT_EQ(rows.error().text(), "metadata row count overflowed usize");
  }
}

TEST(MetadataRowCount, ColumnlessBatchesStillGiveTheirRows) {
  auto rows = metadata_rows_from_batches(MetadataSchema{}, {empty_batch(3), empty_batch(2)});
  ASSERT_TRUE(rows.ok()) << rows.error().text();
  EXPECT_EQ(rows->size(), 5u);
}

}  // namespace
}  // namespace brivane
