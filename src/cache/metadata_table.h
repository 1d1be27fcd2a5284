// metadata.arrow: every sample's metadata as one Arrow IPC file, one
// non-nullable column per schema field and one record batch for all rows.
#pragma once

#include <filesystem>
#include <memory>
#include <vector>

#include <arrow/ipc/options.h>
#include <arrow/record_batch.h>
#include <arrow/status.h>
#include <arrow/type.h>

#include "cache/metadata_value.h"
#include "runtime/error.h"

namespace brivane {

// The one way an Arrow failure becomes a ModuleError, so its text reads alike everywhere.
ModuleError arrow_status_error(const arrow::Status& status);

// bool -> Boolean, int -> Int64, float -> Float64, string -> Utf8.
std::shared_ptr<arrow::DataType> arrow_type_for(MetadataKind kind);

// One non-nullable field per metadata field, in order; no metadata attached.
std::shared_ptr<arrow::Schema> arrow_schema_for(const MetadataSchema& schema);

// How every Arrow IPC file of ours is written: metadata V5, 64-byte alignment,
// no compression, on the calling thread.
arrow::ipc::IpcWriteOptions ipc_write_options();

// The single record batch of `rows` (row i is sample i). A schema without
// fields still gives a batch of rows.size() rows. Fails with InvalidArgument
// when a row does not fit the schema or a text column outgrows 32-bit offsets.
Result<std::shared_ptr<arrow::RecordBatch>> build_metadata_batch(const MetadataSchema& schema,
                                                                 const std::vector<MetadataRow>& rows);

// Builds the batch, then creates `path` (0o666) and writes the IPC file through
// an 8 KiB buffer. Creating the file fails as Io, the IPC writing as Arrow.
Status write_metadata_table(const std::filesystem::path& path, const MetadataSchema& schema,
                            const std::vector<MetadataRow>& rows);

// Every record batch of the IPC file at `path`, in file order, each fully
// validated. Opening fails as Io; a file or batch Arrow cannot read as Arrow.
Result<std::vector<std::shared_ptr<arrow::RecordBatch>>> read_metadata_batches(const std::filesystem::path& path);

// The rows of `batches` typed by `schema`: columns matched by position, extra
// columns ignored; a missing column, a column of the wrong type or a null
// entry is InvalidCache.
Result<std::vector<MetadataRow>> metadata_rows_from_batches(
    const MetadataSchema& schema, const std::vector<std::shared_ptr<arrow::RecordBatch>>& batches);

// read_metadata_batches then metadata_rows_from_batches.
Result<std::vector<MetadataRow>> read_metadata_table(const std::filesystem::path& path, const MetadataSchema& schema);

}  // namespace brivane
