#include "cache/metadata_table.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <arrow/array.h>
#include <arrow/buffer.h>
#include <arrow/io/buffered.h>
#include <arrow/io/file.h>
#include <arrow/ipc/reader.h>
#include <arrow/ipc/writer.h>
#include <arrow/memory_pool.h>
#include <arrow/util/bit_util.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <variant>

namespace brivane {
namespace {

constexpr std::int64_t kFileBufferSize = 8 * 1024;
constexpr std::int32_t kBufferAlignment = 64;

template <class T>
Result<const T*> value_at(const MetadataRow& row, std::size_t column) {
  if (column >= row.size()) return ModuleError::invalid_argument("metadata column is out of range");
  const T* value = std::get_if<T>(&row[column]);
  if (value == nullptr) return ModuleError::invalid_argument("metadata kind drifted");
  return value;
}

Result<std::shared_ptr<arrow::Buffer>> allocate(std::int64_t size) {
  auto buffer = arrow::AllocateBuffer(size);
  if (!buffer.ok()) return arrow_status_error(buffer.status());
  return std::shared_ptr<arrow::Buffer>(std::move(buffer).ValueUnsafe());
}

// Int64 and Float64 columns: one fixed-width value buffer, no validity bitmap.
template <class T>
Result<std::shared_ptr<arrow::Array>> fixed_width_column(const std::shared_ptr<arrow::DataType>& type,
                                                         const std::vector<MetadataRow>& rows, std::size_t column) {
  const auto n = static_cast<std::int64_t>(rows.size());
  BRV_ASSIGN_OR_RETURN(std::shared_ptr<arrow::Buffer> values, allocate(n * static_cast<std::int64_t>(sizeof(T))));
  auto* out = reinterpret_cast<T*>(values->mutable_data());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    BRV_ASSIGN_OR_RETURN(const T* value, value_at<T>(rows[i], column));
    out[i] = *value;
  }
  return arrow::MakeArray(arrow::ArrayData::Make(type, n, {nullptr, std::move(values)}, 0));
}

Result<std::shared_ptr<arrow::Array>> bool_column(const std::vector<MetadataRow>& rows, std::size_t column) {
  const auto n = static_cast<std::int64_t>(rows.size());
  auto bitmap = arrow::AllocateEmptyBitmap(n);
  if (!bitmap.ok()) return arrow_status_error(bitmap.status());
  std::shared_ptr<arrow::Buffer> bits = std::move(bitmap).ValueUnsafe();
  std::uint8_t* out = bits->mutable_data();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    BRV_ASSIGN_OR_RETURN(const bool* value, value_at<bool>(rows[i], column));
    if (*value) arrow::bit_util::SetBit(out, static_cast<std::int64_t>(i));
  }
  return arrow::MakeArray(arrow::ArrayData::Make(arrow::boolean(), n, {nullptr, std::move(bits)}, 0));
}

Result<std::shared_ptr<arrow::Array>> string_column(const MetadataField& field, const std::vector<MetadataRow>& rows,
                                                    std::size_t column) {
  constexpr std::uint64_t kMaxBytes = std::numeric_limits<std::int32_t>::max();
  std::uint64_t total = 0;
  for (const MetadataRow& row : rows) {
    BRV_ASSIGN_OR_RETURN(const std::string* value, value_at<std::string>(row, column));
    total += value->size();
    // Utf8 offsets are 32-bit; a wrapped offset would corrupt every later row.
    if (total > kMaxBytes) {
      return ModuleError::invalid_argument("metadata '" + field.name + "' holds more than " +
                                           std::to_string(kMaxBytes) + " bytes of text");
    }
  }
  const auto n = static_cast<std::int64_t>(rows.size());
  BRV_ASSIGN_OR_RETURN(std::shared_ptr<arrow::Buffer> offsets,
                       allocate((n + 1) * static_cast<std::int64_t>(sizeof(std::int32_t))));
  BRV_ASSIGN_OR_RETURN(std::shared_ptr<arrow::Buffer> data, allocate(static_cast<std::int64_t>(total)));
  auto* offset_out = reinterpret_cast<std::int32_t*>(offsets->mutable_data());
  std::uint8_t* data_out = data->mutable_data();
  std::int32_t position = 0;
  offset_out[0] = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const auto& text = std::get<std::string>(rows[i][column]);
    if (!text.empty()) std::memcpy(data_out + position, text.data(), text.size());
    position += static_cast<std::int32_t>(text.size());
    offset_out[i + 1] = position;
  }
  return arrow::MakeArray(
      arrow::ArrayData::Make(arrow::utf8(), n, {nullptr, std::move(offsets), std::move(data)}, 0));
}

Result<std::shared_ptr<arrow::Array>> build_column(const MetadataField& field, const std::vector<MetadataRow>& rows,
                                                   std::size_t column) {
  switch (field.kind) {
    case MetadataKind::Bool:
      return bool_column(rows, column);
    case MetadataKind::Int:
      return fixed_width_column<std::int64_t>(arrow::int64(), rows, column);
    case MetadataKind::Float:
      return fixed_width_column<double>(arrow::float64(), rows, column);
    case MetadataKind::String:
      return string_column(field, rows, column);
  }
  return ModuleError::internal_fault("unknown metadata kind");
}

arrow::Type::type array_type_for(MetadataKind kind) {
  switch (kind) {
    case MetadataKind::Bool:
      return arrow::Type::BOOL;
    case MetadataKind::Int:
      return arrow::Type::INT64;
    case MetadataKind::Float:
      return arrow::Type::DOUBLE;
    case MetadataKind::String:
      return arrow::Type::STRING;
  }
  return arrow::Type::NA;
}

MetadataValue value_from(const arrow::Array& array, MetadataKind kind, std::int64_t i) {
  switch (kind) {
    case MetadataKind::Bool:
      return static_cast<const arrow::BooleanArray&>(array).Value(i);
    case MetadataKind::Int:
      return static_cast<const arrow::Int64Array&>(array).Value(i);
    case MetadataKind::Float:
      return static_cast<const arrow::DoubleArray&>(array).Value(i);
    case MetadataKind::String:
      return std::string(static_cast<const arrow::StringArray&>(array).GetView(i));
  }
  return false;
}

}  // namespace

ModuleError arrow_status_error(const arrow::Status& status) { return ModuleError::arrow(status.ToString()); }

std::shared_ptr<arrow::DataType> arrow_type_for(MetadataKind kind) {
  switch (kind) {
    case MetadataKind::Bool:
      return arrow::boolean();
    case MetadataKind::Int:
      return arrow::int64();
    case MetadataKind::Float:
      return arrow::float64();
    case MetadataKind::String:
      return arrow::utf8();
  }
  return arrow::null();
}

std::shared_ptr<arrow::Schema> arrow_schema_for(const MetadataSchema& schema) {
  arrow::FieldVector fields;
  fields.reserve(schema.size());
  for (const MetadataField& field : schema) {
    fields.push_back(arrow::field(field.name, arrow_type_for(field.kind), /*nullable=*/false));
  }
  return arrow::schema(std::move(fields));
}

Result<std::shared_ptr<arrow::RecordBatch>> build_metadata_batch(const MetadataSchema& schema,
                                                                 const std::vector<MetadataRow>& rows) {
  arrow::ArrayVector columns;
  columns.reserve(schema.size());
  for (std::size_t j = 0; j < schema.size(); ++j) {
    BRV_ASSIGN_OR_RETURN(std::shared_ptr<arrow::Array> column, build_column(schema[j], rows, j));
    columns.push_back(std::move(column));
  }
  // The explicit row count is what lets a schema without fields hold rows.
  auto batch = arrow::RecordBatch::Make(arrow_schema_for(schema), static_cast<std::int64_t>(rows.size()),
                                        std::move(columns));
  if (arrow::Status checked = batch->Validate(); !checked.ok()) return arrow_status_error(checked);
  return batch;
}

Status write_metadata_table(const std::filesystem::path& path, const MetadataSchema& schema,
                            const std::vector<MetadataRow>& rows) {
  BRV_ASSIGN_OR_RETURN(std::shared_ptr<arrow::RecordBatch> batch, build_metadata_batch(schema, rows));

  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return ModuleError::io_errno(errno);
  auto file = arrow::io::FileOutputStream::Open(fd);  // owns fd from here on
  if (!file.ok()) return arrow_status_error(file.status());
  auto buffered = arrow::io::BufferedOutputStream::Create(kFileBufferSize, arrow::default_memory_pool(), *file);
  if (!buffered.ok()) return arrow_status_error(buffered.status());
  auto writer = arrow::ipc::MakeFileWriter(*buffered, batch->schema(), ipc_write_options());
  if (!writer.ok()) return arrow_status_error(writer.status());
  if (arrow::Status st = (*writer)->WriteRecordBatch(*batch); !st.ok()) return arrow_status_error(st);
  // The IPC writer writes the footer but leaves the stream open; closing the
  // buffered stream flushes it and closes the file.
  if (arrow::Status st = (*writer)->Close(); !st.ok()) return arrow_status_error(st);
  if (arrow::Status st = (*buffered)->Close(); !st.ok()) return arrow_status_error(st);
  return ok_status();
}

Result<std::vector<std::shared_ptr<arrow::RecordBatch>>> read_metadata_batches(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ModuleError::io_errno(errno);
  struct stat info {};
  if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    const int err = S_ISDIR(info.st_mode) ? EISDIR : errno;
    ::close(fd);
    return ModuleError::io_errno(err);
  }
  auto file = arrow::io::ReadableFile::Open(fd);  // owns fd from here on
  if (!file.ok()) return arrow_status_error(file.status());

  auto options = arrow::ipc::IpcReadOptions::Defaults();
  options.use_threads = false;
  auto reader = arrow::ipc::RecordBatchFileReader::Open(*file, options);
  if (!reader.ok()) return arrow_status_error(reader.status());

  std::vector<std::shared_ptr<arrow::RecordBatch>> batches;
  const int count = (*reader)->num_record_batches();
  batches.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    auto batch = (*reader)->ReadRecordBatch(i);
    if (!batch.ok()) return arrow_status_error(batch.status());
    // The file is untrusted input: check offsets and UTF-8 before any value is touched.
    if (arrow::Status st = (*batch)->ValidateFull(); !st.ok()) return arrow_status_error(st);
    batches.push_back(std::move(batch).ValueUnsafe());
  }
  return batches;
}

Result<std::vector<MetadataRow>> metadata_rows_from_batches(
    const MetadataSchema& schema, const std::vector<std::shared_ptr<arrow::RecordBatch>>& batches) {
  // Check every batch before sizing anything: a validated column holds a
  // buffer for each of its rows, so after this only a schema without fields
  // leaves the row count a bare claim of the file.
  for (const auto& batch : batches) {
    if (static_cast<std::size_t>(batch->num_columns()) < schema.size()) {
      return ModuleError::invalid_cache("metadata.arrow has fewer columns than the schema");
    }
    for (std::size_t j = 0; j < schema.size(); ++j) {
      const arrow::Array& column = *batch->column(static_cast<int>(j));
      if (column.type_id() != array_type_for(schema[j].kind)) {
        return ModuleError::invalid_cache("metadata '" + schema[j].name + "' is not " +
                                          std::string(kind_text(schema[j].kind)));
      }
      if (column.null_count() != 0) {
        return ModuleError::invalid_cache("metadata '" + schema[j].name + "' contains null");
      }
    }
  }
  std::size_t total = 0;
  for (const auto& batch : batches) {
    if (__builtin_add_overflow(total, static_cast<std::size_t>(batch->num_rows()), &total)) {
      return ModuleError::invalid_cache("metadata row count overflowed usize");
    }
  }
  std::vector<MetadataRow> rows;
  if (total > rows.max_size()) return ModuleError::invalid_cache("metadata row count overflowed usize");
  try {
    rows.reserve(total);
  } catch (const std::bad_alloc&) {
    return ModuleError::invalid_cache("metadata.arrow claims more rows than fit in memory");
  }

  std::vector<const arrow::Array*> columns(schema.size());
  for (const auto& batch : batches) {
    for (std::size_t j = 0; j < schema.size(); ++j) columns[j] = batch->column(static_cast<int>(j)).get();
    for (std::int64_t i = 0; i < batch->num_rows(); ++i) {
      MetadataRow row;
      row.reserve(schema.size());
      for (std::size_t j = 0; j < schema.size(); ++j) row.push_back(value_from(*columns[j], schema[j].kind, i));
      rows.push_back(std::move(row));
    }
  }
  return rows;
}

Result<std::vector<MetadataRow>> read_metadata_table(const std::filesystem::path& path, const MetadataSchema& schema) {
  BRV_ASSIGN_OR_RETURN(auto batches, read_metadata_batches(path));
  return metadata_rows_from_batches(schema, batches);
}

arrow::ipc::IpcWriteOptions ipc_write_options() {
  auto options = arrow::ipc::IpcWriteOptions::Defaults();
  options.metadata_version = arrow::ipc::MetadataVersion::V5;
  options.alignment = kBufferAlignment;
  options.codec = nullptr;
  options.use_threads = false;
  return options;
}

}  // namespace brivane
