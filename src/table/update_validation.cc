#include "table/update_validation.h"

#include <arrow/array.h>
#include <arrow/buffer.h>
#include <arrow/io/memory.h>
#include <arrow/ipc/reader.h>
#include <arrow/record_batch.h>
#include <arrow/type.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>

#include "cache/metadata_table.h"

namespace brivane {
namespace {

constexpr std::string_view kCacheId = "cache_id";
constexpr std::string_view kSampleId = "sample_id";
constexpr std::string_view kWeight = "weight";

// The fewest bytes an uncompressed table can spend on one row: three 32-bit
// columns. Caps the up-front reservation, since row counts are claims of the
// input and only the row loop proves them.
constexpr std::size_t kMinRowBytes = 12;

enum class Numeric { U64, U32, I64, I32, F64, F32, Other };

Numeric numeric_of(arrow::Type::type id) {
  switch (id) {
    case arrow::Type::UINT64:
      return Numeric::U64;
    case arrow::Type::UINT32:
      return Numeric::U32;
    case arrow::Type::INT64:
      return Numeric::I64;
    case arrow::Type::INT32:
      return Numeric::I32;
    case arrow::Type::DOUBLE:
      return Numeric::F64;
    case arrow::Type::FLOAT:
      return Numeric::F32;
    default:
      return Numeric::Other;
  }
}

bool is_integer(Numeric t) { return t == Numeric::U64 || t == Numeric::U32 || t == Numeric::I64 || t == Numeric::I32; }
bool is_number(Numeric t) { return t != Numeric::Other; }

// A value column read in place: its first value (the array offset applied).
struct RawColumn {
  const arrow::Array* array = nullptr;
  Numeric type = Numeric::Other;
  const std::uint8_t* values = nullptr;

  template <class T>
  const T* as() const {
    return reinterpret_cast<const T*>(values);
  }
};

std::size_t width_of(Numeric t) {
  return (t == Numeric::U64 || t == Numeric::I64 || t == Numeric::F64) ? 8 : 4;
}

RawColumn raw_column(const arrow::Array& array) {
  RawColumn column{&array, numeric_of(array.type_id()), nullptr};
  const auto& data = *array.data();
  if (is_number(column.type) && data.buffers.size() > 1 && data.buffers[1] != nullptr) {
    column.values = data.buffers[1]->data() + data.offset * static_cast<std::int64_t>(width_of(column.type));
  }
  return column;
}

// Calls f with the column's values as a pointer of their own type.
template <class F>
bool visit_integers(const RawColumn& column, F&& f) {
  switch (column.type) {
    case Numeric::U64:
      return f(column.as<std::uint64_t>());
    case Numeric::U32:
      return f(column.as<std::uint32_t>());
    case Numeric::I64:
      return f(column.as<std::int64_t>());
    case Numeric::I32:
      return f(column.as<std::int32_t>());
    default:
      return false;
  }
}

template <class F>
bool visit_numbers(const RawColumn& column, F&& f) {
  switch (column.type) {
    case Numeric::F64:
      return f(column.as<double>());
    case Numeric::F32:
      return f(column.as<float>());
    default:
      return visit_integers(column, f);
  }
}

// Negative signed values land at 2^63 and above, where no cache or sample
// can be, so one unsigned comparison also refuses them; the flag makes sure.
template <class T>
std::uint64_t widen(T value, bool& negative) {
  if constexpr (std::is_signed_v<T>) {
    negative |= value < 0;
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
  } else {
    return value;
  }
}

// The common case: a batch with accepted types and no nulls. Maps every row
// without branching on the outcome; false means some row failed, and the
// exact pass below finds which.
template <class C, class S>
bool map_rows_fast(const C* cache, const S* sample, std::int64_t n, const TablePopulation& population,
                   std::uint64_t* out) {
  const std::uint64_t caches = population.sample_counts.size();
  const std::uint64_t* counts = population.sample_counts.data();
  const std::uint64_t* offsets = population.cache_offsets.data();
  bool fine = true;
  bool negative = false;
  for (std::int64_t i = 0; i < n; ++i) {
    const std::uint64_t c = widen(cache[i], negative);
    const std::uint64_t s = widen(sample[i], negative);
    const bool known = c < caches;
    const std::uint64_t k = known ? c : 0;
    const std::uint64_t physical = offsets[k] + s;
    fine &= known & (s < counts[k]) & (physical >= s);
    out[i] = physical;
  }
  return fine && !negative;
}

template <class W>
void convert_weights(const W* weight, std::int64_t n, double* out) {
  for (std::int64_t i = 0; i < n; ++i) out[i] = static_cast<double>(weight[i]);
}

std::string column_message(std::string_view column, std::string_view rest) {
  return "samples metadata column '" + std::string(column) + "' " + std::string(rest);
}

ModuleError refuse(std::string message) { return ModuleError::invalid_argument(std::move(message)); }

// One identity column value of row i, with the checks in their order.
Result<std::uint64_t> read_id(const RawColumn& column, std::string_view name, std::int64_t i) {
  if (column.array->IsNull(i)) return refuse(column_message(name, "contains null"));
  std::int64_t signed_value = 0;
  switch (column.type) {
    case Numeric::U64:
      return column.as<std::uint64_t>()[i];
    case Numeric::U32:
      return std::uint64_t{column.as<std::uint32_t>()[i]};
    case Numeric::I64:
      signed_value = column.as<std::int64_t>()[i];
      break;
    case Numeric::I32:
      signed_value = column.as<std::int32_t>()[i];
      break;
    default:
      return refuse(column_message(name, "must be an integer"));
  }
  if (signed_value < 0) return refuse(column_message(name, "must be non-negative"));
  return static_cast<std::uint64_t>(signed_value);
}

Result<double> read_weight(const RawColumn& column, std::int64_t i) {
  if (column.array->IsNull(i)) return refuse(column_message(kWeight, "contains null"));
  switch (column.type) {
    case Numeric::F64:
      return column.as<double>()[i];
    case Numeric::F32:
      return static_cast<double>(column.as<float>()[i]);
    case Numeric::U64:
      return static_cast<double>(column.as<std::uint64_t>()[i]);
    case Numeric::U32:
      return static_cast<double>(column.as<std::uint32_t>()[i]);
    case Numeric::I64:
      return static_cast<double>(column.as<std::int64_t>()[i]);
    case Numeric::I32:
      return static_cast<double>(column.as<std::int32_t>()[i]);
    default:
      return refuse(column_message(kWeight, "must be numeric"));
  }
}

struct IdentityColumns {
  RawColumn cache;
  RawColumn sample;
  RawColumn weight;
};

// Row by row, every check in order; appends the rows it accepts. Used for
// any batch the fast path does not take or gave up on, so the error it
// reports is always the first one in table order.
Status append_rows_exact(const IdentityColumns& columns, std::int64_t n, const TablePopulation& population,
                         ValidatedTable& table) {
  for (std::int64_t i = 0; i < n; ++i) {
    BRV_ASSIGN_OR_RETURN(const std::uint64_t c, read_id(columns.cache, kCacheId, i));
    BRV_ASSIGN_OR_RETURN(const std::uint64_t s, read_id(columns.sample, kSampleId, i));
    BRV_ASSIGN_OR_RETURN(const double w, read_weight(columns.weight, i));
    if (c >= population.sample_counts.size() || s >= population.sample_counts[c]) {
      return refuse("unknown samples metadata row identity cache_id=" + std::to_string(c) +
                    " sample_id=" + std::to_string(s));
    }
    std::uint64_t physical = 0;
    if (__builtin_add_overflow(population.cache_offsets[c], s, &physical)) {
      return refuse("physical weight index overflowed usize");
    }
    table.rows.push_back(physical);
    table.weights.push_back(w);
  }
  return ok_status();
}

bool fast_path_applies(const IdentityColumns& columns, const TablePopulation& population) {
  return !population.sample_counts.empty() && is_integer(columns.cache.type) && is_integer(columns.sample.type) &&
         is_number(columns.weight.type) && columns.cache.array->null_count() == 0 &&
         columns.sample.array->null_count() == 0 && columns.weight.array->null_count() == 0;
}

Status append_rows(const IdentityColumns& columns, std::int64_t n, const TablePopulation& population,
                   ValidatedTable& table) {
  if (n == 0) return ok_status();
  const std::size_t start = table.rows.size();
  if (fast_path_applies(columns, population)) {
    table.rows.resize(start + static_cast<std::size_t>(n));
    table.weights.resize(start + static_cast<std::size_t>(n));
    std::uint64_t* rows_out = table.rows.data() + start;
    double* weights_out = table.weights.data() + start;
    const bool mapped = visit_integers(columns.cache, [&](const auto* cache) {
      return visit_integers(columns.sample,
                            [&](const auto* sample) { return map_rows_fast(cache, sample, n, population, rows_out); });
    });
    if (mapped) {
      visit_numbers(columns.weight, [&](const auto* weight) {
        convert_weights(weight, n, weights_out);
        return true;
      });
      return ok_status();
    }
    table.rows.resize(start);
    table.weights.resize(start);
  }
  return append_rows_exact(columns, n, population, table);
}

// Column positions by name, the first column of each name winning.
class ColumnIndex {
 public:
  explicit ColumnIndex(const arrow::Schema& schema) {
    for (int j = 0; j < schema.num_fields(); ++j) by_name_.try_emplace(schema.field(j)->name(), j);
  }
  std::optional<int> find(std::string_view name) const {
    auto it = by_name_.find(name);
    if (it == by_name_.end()) return std::nullopt;
    return it->second;
  }

 private:
  std::unordered_map<std::string_view, int> by_name_;  // views into the schema's field names
};

bool accepts(MetadataKind kind, arrow::Type::type id) {
  switch (kind) {
    case MetadataKind::Bool:
      return id == arrow::Type::BOOL;
    case MetadataKind::Int:
      return id == arrow::Type::INT64;
    case MetadataKind::Float:
      return id == arrow::Type::DOUBLE;
    case MetadataKind::String:
      return id == arrow::Type::STRING || id == arrow::Type::LARGE_STRING || id == arrow::Type::STRING_VIEW;
  }
  return false;
}

std::string_view expected_type_name(MetadataKind kind) {
  switch (kind) {
    case MetadataKind::Bool:
      return "Boolean";
    case MetadataKind::Int:
      return "Int64";
    case MetadataKind::Float:
      return "Float64";
    case MetadataKind::String:
      return "Utf8";
  }
  return "";
}

ModuleError missing_column(std::string_view name) {
  return refuse("samples metadata missing '" + std::string(name) + "' column");
}

// Every batch of a file shares the file's schema, so these two verdicts are
// the same for each batch; they are still only reported once a batch exists.
Status check_metadata_columns(const arrow::Schema& schema, const ColumnIndex& index, const TablePopulation& population) {
  for (const MetadataField& field : population.schema) {
    const std::optional<int> j = index.find(field.name);
    if (!j) return missing_column(field.name);
    if (!accepts(field.kind, schema.field(*j)->type()->id())) {
      return refuse(column_message(field.name, "must have Arrow type " + std::string(expected_type_name(field.kind))));
    }
  }
  return ok_status();
}

struct IdentityPositions {
  int cache = 0;
  int sample = 0;
  int weight = 0;
};

Result<IdentityPositions> find_identity_columns(const ColumnIndex& index) {
  const std::optional<int> cache = index.find(kCacheId);
  if (!cache) return missing_column(kCacheId);
  const std::optional<int> sample = index.find(kSampleId);
  if (!sample) return missing_column(kSampleId);
  const std::optional<int> weight = index.find(kWeight);
  if (!weight) return missing_column(kWeight);
  return IdentityPositions{*cache, *sample, *weight};
}

// Decodes every batch up front so the row vectors can be reserved once. A
// batch that fails to decode is remembered and reported in its turn, after
// the checks of the batches before it.
struct DecodedBatches {
  std::vector<std::shared_ptr<arrow::RecordBatch>> batches;
  std::optional<ModuleError> failure;  // of the batch right after the last decoded one
};

DecodedBatches decode_batches(arrow::ipc::RecordBatchFileReader& reader) {
  DecodedBatches decoded;
  const int count = reader.num_record_batches();
  decoded.batches.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    auto batch = reader.ReadRecordBatch(i);
    if (!batch.ok()) {
      decoded.failure = arrow_status_error(batch.status());
      break;
    }
    // Buffer sizes are claims of the input: check them before reading values in place.
    if (arrow::Status st = (*batch)->Validate(); !st.ok()) {
      decoded.failure = arrow_status_error(st);
      break;
    }
    decoded.batches.push_back(std::move(batch).ValueUnsafe());
  }
  return decoded;
}

std::size_t reservation(const DecodedBatches& decoded, std::size_t input_size) {
  std::uint64_t claimed = 0;
  for (const auto& batch : decoded.batches) {
    const auto n = static_cast<std::uint64_t>(batch->num_rows());
    claimed = n > std::numeric_limits<std::uint64_t>::max() - claimed ? std::numeric_limits<std::uint64_t>::max()
                                                                        : claimed + n;
  }
  return static_cast<std::size_t>(std::min<std::uint64_t>(claimed, input_size / kMinRowBytes + 1));
}

Status check_weights(const std::vector<double>& weights) {
  for (std::size_t i = 0; i < weights.size(); ++i) {
    const double w = weights[i];
    if (!(std::isfinite(w) && w > 0.0)) return refuse("weight " + std::to_string(i) + " must be positive and finite");
  }
  return ok_status();
}

}  // namespace

Result<ValidatedTable> validate_replacement_table(std::span<const std::uint8_t> ipc,
                                                  const TablePopulation& population) {
  if (population.cache_offsets.size() != population.sample_counts.size()) {
    return ModuleError::internal_fault("cache offsets do not match the caches");
  }
  // Wraps the caller's memory without taking ownership or copying it.
  auto buffer = std::make_shared<arrow::Buffer>(ipc.data(), static_cast<std::int64_t>(ipc.size()));
  auto input = std::make_shared<arrow::io::BufferReader>(buffer);
  auto options = arrow::ipc::IpcReadOptions::Defaults();
  options.use_threads = false;
  // Values are read through typed pointers; a misaligned buffer (never one
  // from a bytes object written by Arrow) is the only thing ever copied.
  options.ensure_alignment = arrow::ipc::Alignment::kDataTypeSpecificAlignment;
  auto opened = arrow::ipc::RecordBatchFileReader::Open(input, options);
  if (!opened.ok()) return arrow_status_error(opened.status());
  arrow::ipc::RecordBatchFileReader& reader = **opened;

  const arrow::Schema& schema = *reader.schema();
  const ColumnIndex index(schema);
  const Status metadata_verdict = check_metadata_columns(schema, index, population);
  Result<IdentityPositions> positions = find_identity_columns(index);

  DecodedBatches decoded = decode_batches(reader);
  ValidatedTable table;
  const std::size_t reserve = reservation(decoded, ipc.size());
  table.rows.reserve(reserve);
  table.weights.reserve(reserve);

  std::uint64_t total_rows = 0;
  for (const auto& batch : decoded.batches) {
    const auto n = static_cast<std::uint64_t>(batch->num_rows());
    if (__builtin_add_overflow(total_rows, n, &total_rows)) {
      return refuse("samples metadata row count overflowed usize");
    }
    if (!metadata_verdict.ok()) return metadata_verdict.error();
    if (!positions.ok()) return positions.error();
    const IdentityColumns columns{raw_column(*batch->column(positions->cache)),
                                  raw_column(*batch->column(positions->sample)),
                                  raw_column(*batch->column(positions->weight))};
    BRV_TRY(append_rows(columns, batch->num_rows(), population, table));
  }
  if (decoded.failure) return *decoded.failure;

  if (total_rows == 0) return refuse("metadata table must include at least one sample");
  BRV_TRY(check_weights(table.weights));
  return table;
}

}  // namespace brivane
