#include "table/default_export.h"

#include <arrow/array.h>
#include <arrow/buffer.h>
#include <arrow/io/memory.h>
#include <arrow/ipc/writer.h>
#include <arrow/status.h>

#include <algorithm>
#include <limits>
#include <numeric>
#include <string>

#include "cache/metadata_table.h"

namespace brivane {
namespace {


template <class T>
Result<std::shared_ptr<arrow::Array>> constant_column(const std::shared_ptr<arrow::DataType>& type, std::int64_t n,
                                                      T value) {
  auto buffer = arrow::AllocateBuffer(n * static_cast<std::int64_t>(sizeof(T)));
  if (!buffer.ok()) return arrow_status_error(buffer.status());
  T* out = reinterpret_cast<T*>((*buffer)->mutable_data());
  std::fill(out, out + n, value);
  std::shared_ptr<arrow::Buffer> values = std::move(buffer).ValueUnsafe();
  return arrow::MakeArray(arrow::ArrayData::Make(type, n, {nullptr, std::move(values)}, 0));
}

Result<std::shared_ptr<arrow::Array>> counting_column(std::int64_t n, std::uint64_t first) {
  auto buffer = arrow::AllocateBuffer(n * static_cast<std::int64_t>(sizeof(std::uint64_t)));
  if (!buffer.ok()) return arrow_status_error(buffer.status());
  auto* out = reinterpret_cast<std::uint64_t*>((*buffer)->mutable_data());
  std::iota(out, out + n, first);
  std::shared_ptr<arrow::Buffer> values = std::move(buffer).ValueUnsafe();
  return arrow::MakeArray(arrow::ArrayData::Make(arrow::uint64(), n, {nullptr, std::move(values)}, 0));
}

// Stored columns go out exactly as stored, so each must already be what the
// manifest says: same name and type at the same position.
Status check_stored_columns(const MetadataSchema& schema, const arrow::RecordBatch& stored) {
  if (static_cast<std::size_t>(stored.num_columns()) != schema.size()) {
    return ModuleError::invalid_cache("metadata batch column count does not match manifest");
  }
  for (std::size_t j = 0; j < schema.size(); ++j) {
    const arrow::Field& field = *stored.schema()->field(static_cast<int>(j));
    if (field.name() != schema[j].name || !field.type()->Equals(*arrow_type_for(schema[j].kind))) {
      return ModuleError::invalid_cache("metadata column '" + schema[j].name + "' does not match manifest schema");
    }
  }
  return ok_status();
}

// Arrow's own validation leaves nullability to the reader, but the exported
// fields promise no nulls, so a null must not slip through.
Status check_no_nulls(const arrow::RecordBatch& batch) {
  for (int j = 0; j < batch.num_columns(); ++j) {
    const std::int64_t nulls = batch.column(j)->null_count();
    if (nulls != 0) {
      return arrow_status_error(arrow::Status::Invalid("Column '", batch.schema()->field(j)->name(),
                                                       "' is declared non-nullable but contains ", nulls,
                                                       " nulls"));
    }
  }
  return ok_status();
}

Status append_cache_batches(const MetadataSchema& schema, const std::shared_ptr<arrow::Schema>& out_schema,
                            const OpenedCache& cache, std::uint64_t cache_id, std::uint64_t base,
                            std::vector<std::shared_ptr<arrow::RecordBatch>>& out) {
  BRV_ASSIGN_OR_RETURN(auto stored_batches, read_metadata_batches(cache.dir / "metadata.arrow"));
  std::uint64_t rows_done = 0;
  for (const auto& stored : stored_batches) {
    const std::int64_t n = stored->num_rows();
    const auto rows = static_cast<std::uint64_t>(n);
    if (rows_done > std::numeric_limits<std::uint64_t>::max() - base) {
      return ModuleError::invalid_argument("physical metadata offset overflowed usize");
    }
    if (rows > std::numeric_limits<std::uint64_t>::max() - rows_done) {
      return ModuleError::invalid_argument("sample_id range overflowed usize");
    }
    BRV_TRY(check_stored_columns(schema, *stored));

    arrow::ArrayVector columns;
    columns.reserve(schema.size() + 3);
    BRV_ASSIGN_OR_RETURN(auto cache_column, constant_column<std::uint64_t>(arrow::uint64(), n, cache_id));
    columns.push_back(std::move(cache_column));
    BRV_ASSIGN_OR_RETURN(auto sample_column, counting_column(n, rows_done));
    columns.push_back(std::move(sample_column));
    for (const auto& column : stored->columns()) columns.push_back(column);
    BRV_ASSIGN_OR_RETURN(auto weight_column, constant_column<double>(arrow::float64(), n, 1.0));
    columns.push_back(std::move(weight_column));

    auto batch = arrow::RecordBatch::Make(out_schema, n, std::move(columns));
    if (arrow::Status st = batch->Validate(); !st.ok()) return arrow_status_error(st);
    BRV_TRY(check_no_nulls(*batch));
    out.push_back(std::move(batch));
    rows_done += rows;
  }
  if (rows_done != cache.sample_count()) {
    return ModuleError::invalid_cache("metadata row count for cache " + std::to_string(cache_id) + " expected " +
                                      std::to_string(cache.sample_count()) + ", got " + std::to_string(rows_done));
  }
  return ok_status();
}

Status write_ipc_to(const ExportTable& table, const std::shared_ptr<arrow::io::OutputStream>& sink) {
  auto writer = arrow::ipc::MakeFileWriter(sink, table.schema, ipc_write_options());
  if (!writer.ok()) return arrow_status_error(writer.status());
  for (const auto& batch : table.batches) {
    if (arrow::Status st = (*writer)->WriteRecordBatch(*batch); !st.ok()) return arrow_status_error(st);
  }
  if (arrow::Status st = (*writer)->Close(); !st.ok()) return arrow_status_error(st);
  return ok_status();
}

Result<std::int64_t> stream_position(arrow::io::OutputStream& sink) {
  auto position = sink.Tell();
  if (!position.ok()) return arrow_status_error(position.status());
  return *position;
}

}  // namespace

std::shared_ptr<arrow::Schema> default_table_schema(const MetadataSchema& schema) {
  arrow::FieldVector fields;
  fields.reserve(schema.size() + 3);
  fields.push_back(arrow::field("cache_id", arrow::uint64(), /*nullable=*/false));
  fields.push_back(arrow::field("sample_id", arrow::uint64(), /*nullable=*/false));
  for (const MetadataField& field : schema) {
    fields.push_back(arrow::field(field.name, arrow_type_for(field.kind), /*nullable=*/false));
  }
  fields.push_back(arrow::field("weight", arrow::float64(), /*nullable=*/false));
  return arrow::schema(std::move(fields));
}

Result<ExportTable> build_default_table(const MetadataSchema& schema,
                                        std::span<const std::shared_ptr<const OpenedCache>> caches,
                                        std::span<const std::uint64_t> cache_offsets) {
  if (cache_offsets.size() != caches.size()) {
    return ModuleError::internal_fault("cache offsets do not match the caches");
  }
  ExportTable table{default_table_schema(schema), {}};
  for (std::size_t c = 0; c < caches.size(); ++c) {
    BRV_TRY(append_cache_batches(schema, table.schema, *caches[c], c, cache_offsets[c], table.batches));
  }
  return table;
}

Status write_table_ipc(const ExportTable& table, const IpcDestination& destination) {
  // A counting pass first, so the file is written once into memory of its
  // final size instead of into a buffer that keeps growing and moving.
  auto counter = std::make_shared<arrow::io::MockOutputStream>();
  BRV_TRY(write_ipc_to(table, counter));
  BRV_ASSIGN_OR_RETURN(const std::int64_t size, stream_position(*counter));

  BRV_ASSIGN_OR_RETURN(std::uint8_t* memory, destination(static_cast<std::size_t>(size)));
  auto target = std::make_shared<arrow::MutableBuffer>(memory, size);
  auto sink = std::make_shared<arrow::io::FixedSizeBufferWriter>(target);
  BRV_TRY(write_ipc_to(table, sink));
  BRV_ASSIGN_OR_RETURN(const std::int64_t written, stream_position(*sink));
  if (written != size) return ModuleError::internal_fault("IPC file size changed between passes");
  return ok_status();
}

}  // namespace brivane
