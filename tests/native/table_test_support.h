// Shared pieces of the active table tests: tables written from JSON columns,
// caches that hold nothing but a metadata.arrow, and a dataset core over them.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <arrow/api.h>
#include <arrow/io/memory.h>
#include <arrow/ipc/reader.h>
#include <arrow/ipc/writer.h>
#include <arrow/json/from_string.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cache/opened_cache.h"
#include "dataset/dataset_core.h"
#include "dataset/sampling_state.h"
#include "table/table_exchange.h"

namespace brivane::table_test {

namespace fs = std::filesystem;

inline std::shared_ptr<arrow::Array> col(const std::shared_ptr<arrow::DataType>& type, const std::string& json) {
  auto array = arrow::json::ArrayFromJSONString(type, json);
  EXPECT_TRUE(array.ok()) << array.status().ToString();
  return *array;
}

using Columns = std::vector<std::pair<std::string, std::shared_ptr<arrow::Array>>>;

// Nullable fields unless told otherwise; `rows` only matters without columns.
inline std::shared_ptr<arrow::RecordBatch> make_batch(const Columns& columns, std::int64_t rows = -1,
                                                      bool nullable = true) {
  arrow::FieldVector fields;
  arrow::ArrayVector arrays;
  for (const auto& [name, array] : columns) {
    fields.push_back(arrow::field(name, array->type(), nullable));
    arrays.push_back(array);
  }
  if (rows < 0) rows = arrays.empty() ? 0 : arrays.front()->length();
  return arrow::RecordBatch::Make(arrow::schema(fields), rows, arrays);
}

inline std::string ipc_bytes(const std::shared_ptr<arrow::Schema>& schema,
                             const std::vector<std::shared_ptr<arrow::RecordBatch>>& batches, bool file = true) {
  auto sink = *arrow::io::BufferOutputStream::Create();
  auto writer = file ? arrow::ipc::MakeFileWriter(sink, schema) : arrow::ipc::MakeStreamWriter(sink, schema);
  EXPECT_TRUE(writer.ok()) << writer.status().ToString();
  for (const auto& batch : batches) EXPECT_TRUE((*writer)->WriteRecordBatch(*batch).ok());
  EXPECT_TRUE((*writer)->Close().ok());
  auto buffer = *sink->Finish();
  return buffer->ToString();
}

inline std::string ipc_bytes(const std::vector<std::shared_ptr<arrow::RecordBatch>>& batches) {
  return ipc_bytes(batches.front()->schema(), batches);
}

struct ReadBack {
  std::shared_ptr<arrow::Schema> schema;
  std::vector<std::shared_ptr<arrow::RecordBatch>> batches;
  arrow::ipc::MetadataVersion version{};
};

inline ReadBack read_ipc(const std::string& bytes) {
  ReadBack out;
  auto reader = arrow::ipc::RecordBatchFileReader::Open(
      std::make_shared<arrow::io::BufferReader>(std::make_shared<arrow::Buffer>(bytes)));
  EXPECT_TRUE(reader.ok()) << reader.status().ToString();
  if (!reader.ok()) return out;
  out.schema = (*reader)->schema();
  out.version = (*reader)->version();
  for (int i = 0; i < (*reader)->num_record_batches(); ++i) {
    auto batch = (*reader)->ReadRecordBatch(i);
    EXPECT_TRUE(batch.ok()) << batch.status().ToString();
    EXPECT_TRUE((*batch)->ValidateFull().ok());
    out.batches.push_back(*batch);
  }
  return out;
}

inline std::span<const std::uint8_t> as_span(const std::string& bytes) {
  return {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()};
}

// An IpcDestination into a string.
inline Result<std::string> export_bytes(DatasetCore& core) {
  std::string out;
  Status status = export_active_table(core, [&](std::size_t size) -> Result<std::uint8_t*> {
    out.resize(size);
    return reinterpret_cast<std::uint8_t*>(out.data());
  });
  if (!status.ok()) return std::move(status).error();
  return out;
}

// Caches made of a directory with metadata.arrow and an index of the given
// length (nothing else is read by the table code).
class TableFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/brivane_table_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override { fs::remove_all(root_); }

  // Writes the batches as the cache's metadata.arrow; sample_count defaults to their rows.
  fs::path add_cache(const std::vector<std::shared_ptr<arrow::RecordBatch>>& batches, std::int64_t sample_count = -1,
                     std::shared_ptr<arrow::Schema> schema = nullptr) {
    const fs::path dir = root_ / ("cache" + std::to_string(caches_.size()));
    fs::create_directories(dir);
    if (!schema) schema = batches.front()->schema();
    const std::string bytes = ipc_bytes(schema, batches);
    FILE* f = std::fopen((dir / "metadata.arrow").c_str(), "wb");
    EXPECT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    if (sample_count < 0) {
      sample_count = 0;
      for (const auto& b : batches) sample_count += b->num_rows();
    }
    add_cache_dir(dir, static_cast<std::uint64_t>(sample_count));
    return dir;
  }

  void add_cache_dir(const fs::path& dir, std::uint64_t sample_count) {
    auto cache = std::make_shared<OpenedCache>();
    cache->dir = dir;
    cache->index.resize(sample_count);
    caches_.push_back(std::move(cache));
  }

  DatasetCore& core() {
    if (!core_) {
      core_ = std::make_unique<DatasetCore>();
      core_->schema = schema_;
      std::vector<std::uint64_t> offsets;
      std::uint64_t total = 0;
      for (const auto& cache : caches_) {
        offsets.push_back(total);
        total += cache->sample_count();
      }
      core_->caches = std::make_shared<const std::vector<std::shared_ptr<const OpenedCache>>>(caches_);
      core_->cache_offsets = std::make_shared<const std::vector<std::uint64_t>>(std::move(offsets));
      core_->total = total;
      core_->sampling = initial_sampling_state(total);
    }
    return *core_;
  }

  fs::path root_;
  MetadataSchema schema_;
  std::vector<std::shared_ptr<const OpenedCache>> caches_;
  std::unique_ptr<DatasetCore> core_;
};

}  // namespace brivane::table_test
