#include <gtest/gtest.h>

#include <arrow/api.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "table/table_exchange.h"
#include "table/update_validation.h"
#include "table_test_support.h"

namespace brivane::table_test {
namespace {

using Batches = std::vector<std::shared_ptr<arrow::RecordBatch>>;

// Two caches of 3 and 2 samples: physical indices 0-2 and 3-4.
class TableUpdateTest : public TableFixture {
 protected:
  void SetUp() override {
    TableFixture::SetUp();
    schema_ = {{"id", MetadataKind::Int}, {"name", MetadataKind::String}};
    add_cache({make_batch({{"id", col(arrow::int64(), "[0, 1, 2]")},
                           {"name", col(arrow::utf8(), R"(["a", "b", "c"])")}})});
    add_cache({make_batch({{"id", col(arrow::int64(), "[3, 4]")}, {"name", col(arrow::utf8(), R"(["d", "e"])")}})});
  }

  // A table with the given identities and weights and valid metadata columns.
  static std::shared_ptr<arrow::RecordBatch> rows(const std::string& cache_ids, const std::string& sample_ids,
                                                  const std::string& weights,
                                                  const std::shared_ptr<arrow::DataType>& weight_type = arrow::float64()) {
    const auto cache = col(arrow::uint64(), cache_ids);
    const std::int64_t n = cache->length();
    return make_batch({{"cache_id", cache},
                       {"sample_id", col(arrow::uint64(), sample_ids)},
                       {"id", *arrow::MakeArrayOfNull(arrow::int64(), n)},
                       {"name", *arrow::MakeArrayFromScalar(arrow::StringScalar("x"), n)},
                       {"weight", col(weight_type, weights)}});
  }

  Result<ValidatedTable> validate(const std::string& bytes) {
    const std::vector<std::uint64_t> counts{3, 2};
    const std::vector<std::uint64_t> offsets{0, 3};
    return validate_replacement_table(as_span(bytes), TablePopulation{schema_, counts, offsets});
  }

  void expect_refused(const std::string& bytes, const std::string& message, ErrorKind kind = ErrorKind::InvalidArgument) {
    auto result = validate(bytes);
    ASSERT_FALSE(result.ok()) << "accepted";
    EXPECT_EQ(result.error().kind(), kind);
    if (kind == ErrorKind::Arrow) {
      EXPECT_EQ(result.error().text().rfind("Arrow error: ", 0), 0u) << result.error().text();
    } else {
      EXPECT_EQ(result.error().text(), message);
    }
  }
};

TEST_F(TableUpdateTest, ExportFedBackIsAcceptedAndReturnedUnchanged) {
  SamplingState& state = core().sampling;
  state.epoch_len = 7;
  state.sequential_cursor = 4;
  state.draw_offset = 11;
  auto exported = export_bytes(core());
  ASSERT_TRUE(exported.ok()) << exported.error().text();

  const Status replaced = replace_active_table(core(), as_span(*exported));
  ASSERT_TRUE(replaced.ok()) << replaced.error().text();
  ASSERT_TRUE(state.override_table.has_value());
  EXPECT_EQ(*state.override_table->rows, (std::vector<std::uint64_t>{0, 1, 2, 3, 4}));
  EXPECT_EQ(*state.override_table->weights, (std::vector<double>(5, 1.0)));
  EXPECT_EQ(state.sequential_cursor, 0u);
  EXPECT_EQ(state.draw_offset, 0u);
  EXPECT_EQ(state.epoch_len, 7u);

  auto again = export_bytes(core());
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(*again, *exported);
}

TEST_F(TableUpdateTest, RowsFollowTheTableAcrossBatchesWithRepeats) {
  // Columns in another order, an extra column, and a second "weight" that must be ignored.
  const auto first = make_batch({{"weight", col(arrow::float64(), "[0.5, 2]")},
                                 {"extra", col(arrow::utf8(), R"(["p", null])")},
                                 {"name", col(arrow::large_utf8(), R"(["q", "r"])")},
                                 {"sample_id", col(arrow::int32(), "[1, 1]")},
                                 {"id", col(arrow::int64(), "[0, 0]")},
                                 {"cache_id", col(arrow::int64(), "[1, 1]")},
                                 {"weight", col(arrow::utf8(), R"(["no", "no"])")}});
  const auto empty = first->Slice(0, 0);
  const auto second = make_batch({{"weight", col(arrow::float64(), "[3]")},
                                  {"extra", col(arrow::utf8(), R"(["s"])")},
                                  {"name", col(arrow::large_utf8(), R"(["t"])")},
                                  {"sample_id", col(arrow::int32(), "[1]")},
                                  {"id", col(arrow::int64(), "[0]")},
                                  {"cache_id", col(arrow::int64(), "[0]")},
                                  {"weight", col(arrow::utf8(), R"(["no"])")}});
  auto result = validate(ipc_bytes({first, empty, second}));
  ASSERT_TRUE(result.ok()) << result.error().text();
  EXPECT_EQ(result->rows, (std::vector<std::uint64_t>{4, 4, 1}));
  EXPECT_EQ(result->weights, (std::vector<double>{0.5, 2.0, 3.0}));
}

TEST_F(TableUpdateTest, WeightsOfEveryNumericTypeBecomeFloats) {
  for (const auto& type : {arrow::int64(), arrow::int32(), arrow::uint64(), arrow::uint32(), arrow::float32()}) {
    SCOPED_TRACE(type->ToString());
    auto result = validate(ipc_bytes({rows("[0, 0, 1]", "[0, 1, 1]", "[1, 2, 3]", type)}));
    ASSERT_TRUE(result.ok()) << result.error().text();
    EXPECT_EQ(result->weights, (std::vector<double>{1.0, 2.0, 3.0}));
    EXPECT_EQ(result->rows, (std::vector<std::uint64_t>{0, 1, 4}));
  }
}

TEST_F(TableUpdateTest, StringMetadataMayUseEveryTextLayout) {
  for (const auto& type : {arrow::utf8(), arrow::large_utf8(), arrow::utf8_view()}) {
    SCOPED_TRACE(type->ToString());
    const auto batch = make_batch({{"cache_id", col(arrow::uint32(), "[1]")},
                                   {"sample_id", col(arrow::uint32(), "[0]")},
                                   {"id", col(arrow::int64(), "[0]")},
                                   {"name", col(type, R"(["n"])")},
                                   {"weight", col(arrow::float64(), "[1]")}});
    auto result = validate(ipc_bytes({batch}));
    ASSERT_TRUE(result.ok()) << result.error().text();
    EXPECT_EQ(result->rows, (std::vector<std::uint64_t>{3}));
  }
}

// A valid table with one column swapped for another.
std::string with_column(const std::string& name, const std::shared_ptr<arrow::Array>& array) {
  Columns columns = {{"cache_id", col(arrow::uint64(), "[0, 1]")},
                     {"sample_id", col(arrow::uint64(), "[0, 1]")},
                     {"id", col(arrow::int64(), "[1, 2]")},
                     {"name", col(arrow::utf8(), R"(["a", "b"])")},
                     {"weight", col(arrow::float64(), "[1, 1]")}};
  Columns out;
  for (auto& [n, a] : columns) {
    if (n != name) out.emplace_back(n, a);
    else if (array) out.emplace_back(n, array);
  }
  return ipc_bytes({make_batch(out)});
}

struct Refusal {
  const char* label;
  std::string bytes;
  std::string message;
};

TEST_F(TableUpdateTest, RefusesEachBrokenRuleWithItsMessage) {
  const std::vector<Refusal> cases = {
      {"missing metadata column", with_column("name", nullptr), "samples metadata missing 'name' column"},
      {"int field as Int32", with_column("id", col(arrow::int32(), "[1, 2]")),
       "samples metadata column 'id' must have Arrow type Int64"},
      {"string field as binary", with_column("name", col(arrow::binary(), R"(["a", "b"])")),
       "samples metadata column 'name' must have Arrow type Utf8"},
      {"missing cache_id", with_column("cache_id", nullptr), "samples metadata missing 'cache_id' column"},
      {"missing sample_id", with_column("sample_id", nullptr), "samples metadata missing 'sample_id' column"},
      {"missing weight", with_column("weight", nullptr), "samples metadata missing 'weight' column"},
      {"null cache_id", with_column("cache_id", col(arrow::uint64(), "[0, null]")),
       "samples metadata column 'cache_id' contains null"},
      {"null sample_id", with_column("sample_id", col(arrow::int32(), "[null, 1]")),
       "samples metadata column 'sample_id' contains null"},
      {"null weight", with_column("weight", col(arrow::float64(), "[1, null]")),
       "samples metadata column 'weight' contains null"},
      {"float sample_id", with_column("sample_id", col(arrow::float64(), "[0, 1]")),
       "samples metadata column 'sample_id' must be an integer"},
      {"int16 sample_id", with_column("sample_id", col(arrow::int16(), "[0, 1]")),
       "samples metadata column 'sample_id' must be an integer"},
      {"negative cache_id", with_column("cache_id", col(arrow::int64(), "[0, -1]")),
       "samples metadata column 'cache_id' must be non-negative"},
      {"negative sample_id", with_column("sample_id", col(arrow::int32(), "[-5, 0]")),
       "samples metadata column 'sample_id' must be non-negative"},
      {"text weight", with_column("weight", col(arrow::utf8(), R"(["1", "1"])")),
       "samples metadata column 'weight' must be numeric"},
      {"unknown cache", with_column("cache_id", col(arrow::uint64(), "[0, 2]")),
       "unknown samples metadata row identity cache_id=2 sample_id=1"},
      {"unknown sample", with_column("sample_id", col(arrow::uint64(), "[0, 2]")),
       "unknown samples metadata row identity cache_id=1 sample_id=2"},
      {"huge cache id", with_column("cache_id", col(arrow::uint64(), "[18446744073709551615, 0]")),
       "unknown samples metadata row identity cache_id=18446744073709551615 sample_id=0"},
      {"no rows", ipc_bytes({rows("[]", "[]", "[]")}), "metadata table must include at least one sample"},
      {"no batches", ipc_bytes(rows("[]", "[]", "[]")->schema(), {}),
       "metadata table must include at least one sample"},
      // Identity types are judged on the rows read; metadata columns on every batch.
      {"empty batch with a float cache_id",
       ipc_bytes({make_batch({{"cache_id", col(arrow::float64(), "[]")}, {"sample_id", col(arrow::utf8(), "[]")},
                              {"id", col(arrow::int64(), "[]")}, {"name", col(arrow::utf8(), "[]")},
                              {"weight", col(arrow::boolean(), "[]")}})}),
       "metadata table must include at least one sample"},
      {"empty batch missing a metadata column",
       ipc_bytes({make_batch({{"cache_id", col(arrow::uint64(), "[]")}, {"sample_id", col(arrow::uint64(), "[]")},
                              {"id", col(arrow::int64(), "[]")}, {"weight", col(arrow::float64(), "[]")}})}),
       "samples metadata missing 'name' column"},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.label);
    expect_refused(c.bytes, c.message);
  }
}

TEST_F(TableUpdateTest, ChecksWithinARowRunInOrder) {
  // Unknown identity but a null sample_id in the same row: the null is read first.
  expect_refused(ipc_bytes({make_batch({{"cache_id", col(arrow::uint64(), "[0, 9]")},
                                        {"sample_id", col(arrow::uint64(), "[0, null]")},
                                        {"id", col(arrow::int64(), "[1, 2]")},
                                        {"name", col(arrow::utf8(), R"(["a", "b"])")},
                                        {"weight", col(arrow::float64(), "[1, 1]")}})}),
                 "samples metadata column 'sample_id' contains null");
  // A null cache_id comes before the column's wrong type.
  expect_refused(with_column("cache_id", col(arrow::float64(), "[null, 1]")),
                 "samples metadata column 'cache_id' contains null");
  // A late identity error wins over an early bad weight.
  expect_refused(ipc_bytes({rows("[0, 0]", "[0, 1]", "[0, 1]"), rows("[0, 1]", "[2, 5]", "[1, 1]")}),
                 "unknown samples metadata row identity cache_id=1 sample_id=5");
  // An error in a later batch after clean ones, and a decode failure after an error is never reached.
  expect_refused(ipc_bytes({rows("[0, 1]", "[0, 1]", "[1, 1]"), rows("[1, 1, 0]", "[0, 3, 0]", "[1, 1, 1]")}),
                 "unknown samples metadata row identity cache_id=1 sample_id=3");
}

TEST_F(TableUpdateTest, BadWeightIsReportedByItsPositionInTheWholeTable) {
  for (const char* bad : {"0", "-1", "NaN", "Inf", "-0"}) {
    SCOPED_TRACE(bad);
    const std::string late = std::string("[1, 1, ") + bad + "]";
    // NaN and Inf do not parse as JSON numbers: put them in directly.
    std::shared_ptr<arrow::Array> weights;
    if (std::string(bad) == "NaN" || std::string(bad) == "Inf") {
      arrow::DoubleBuilder builder;
      ASSERT_TRUE(builder.AppendValues({1.0, 1.0, std::string(bad) == "NaN" ? std::nan("") :
                                                   std::numeric_limits<double>::infinity()}).ok());
      weights = *builder.Finish();
    } else {
      weights = col(arrow::float64(), late);
    }
    auto second = rows("[0, 1, 1]", "[0, 0, 1]", "[1, 1, 1]");
    second = *second->SetColumn(4, arrow::field("weight", arrow::float64()), weights);
    expect_refused(ipc_bytes({rows("[0, 1, 0]", "[2, 1, 0]", "[1, 2, 3]"), second}),
                   "weight 5 must be positive and finite");
  }
}

TEST_F(TableUpdateTest, RefusesWhatIsNotAnIpcFile) {
  const std::string good = ipc_bytes({rows("[0]", "[0]", "[1]")});
  const std::string stream = ipc_bytes(rows("[0]", "[0]", "[1]")->schema(), {rows("[0]", "[0]", "[1]")}, false);
  expect_refused(stream, "", ErrorKind::Arrow);
  expect_refused("", "", ErrorKind::Arrow);
  expect_refused("definitely not arrow", "", ErrorKind::Arrow);
  expect_refused(good.substr(0, good.size() - 10), "", ErrorKind::Arrow);
  // A batch that claims more rows than its buffers hold is refused before any value is read.
  auto short_ids = arrow::MakeArray(arrow::ArrayData::Make(
      arrow::uint64(), 1000, {nullptr, col(arrow::uint64(), "[0]")->data()->buffers[1]}, 0));
  auto lying = make_batch({{"cache_id", short_ids},
                           {"sample_id", short_ids},
                           {"id", *arrow::MakeArrayOfNull(arrow::int64(), 1000)},
                           {"name", *arrow::MakeArrayFromScalar(arrow::StringScalar("x"), 1000)},
                           {"weight", *arrow::MakeArrayFromScalar(arrow::DoubleScalar(1.0), 1000)}});
  expect_refused(ipc_bytes({lying}), "", ErrorKind::Arrow);
  EXPECT_TRUE(validate(good).ok());
}

TEST_F(TableUpdateTest, FailedUpdateChangesNothing) {
  const std::string first = ipc_bytes({rows("[1, 0]", "[1, 2]", "[2, 3]")});
  ASSERT_TRUE(replace_active_table(core(), as_span(first)).ok());
  SamplingState& state = core().sampling;
  state.epoch_len = 9;
  state.sequential_cursor = 1;
  state.draw_offset = 6;
  const auto rows_before = state.override_table->rows;

  const std::string bad = ipc_bytes({rows("[1, 0]", "[1, 2]", "[2, 0]")});
  const Status refused = replace_active_table(core(), as_span(bad));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().text(), "weight 1 must be positive and finite");
  EXPECT_EQ(state.override_table->rows, rows_before);
  EXPECT_EQ(*state.override_table->weights, (std::vector<double>{2.0, 3.0}));
  EXPECT_EQ(*state.override_table->ipc, first);
  EXPECT_EQ(state.epoch_len, 9u);
  EXPECT_EQ(state.sequential_cursor, 1u);
  EXPECT_EQ(state.draw_offset, 6u);
  auto exported = export_bytes(core());
  ASSERT_TRUE(exported.ok());
  EXPECT_EQ(*exported, first);
}

}  // namespace
}  // namespace brivane::table_test
