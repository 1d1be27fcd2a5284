// The default active table (every physical sample once, weight 1.0, the
// metadata the caches store) assembled from each cache's metadata.arrow, and
// the writing of a table as one Arrow IPC file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include <arrow/record_batch.h>
#include <arrow/type.h>

#include "cache/metadata_value.h"
#include "cache/opened_cache.h"
#include "runtime/error.h"

namespace brivane {

struct ExportTable {
  std::shared_ptr<arrow::Schema> schema;
  std::vector<std::shared_ptr<arrow::RecordBatch>> batches;
};

// cache_id, sample_id (UInt64), the metadata fields, weight (Float64); every
// field non-nullable, no custom metadata.
std::shared_ptr<arrow::Schema> default_table_schema(const MetadataSchema& schema);

// One output batch per stored batch, caches in order, the stored metadata
// columns shared rather than copied. Fails when a stored batch does not fit
// the schema or a cache's row count differs from its sample count.
Result<ExportTable> build_default_table(const MetadataSchema& schema,
                                        std::span<const std::shared_ptr<const OpenedCache>> caches,
                                        std::span<const std::uint64_t> cache_offsets);

// Where the IPC file goes: called once with the file's exact size, returns
// memory for that many bytes (or the failure that ends the write).
using IpcDestination = std::function<Result<std::uint8_t*>(std::size_t size)>;

// The table as an IPC file (metadata V5, 64-byte alignment, uncompressed),
// written straight into the destination's memory.
Status write_table_ipc(const ExportTable& table, const IpcDestination& destination);

}  // namespace brivane
