// Checking a replacement active table that arrives as Arrow IPC file bytes:
// every row must name a real physical sample and carry a usable weight.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "cache/metadata_value.h"
#include "runtime/error.h"

namespace brivane {

// What a replacement is checked against.
struct TablePopulation {
  std::span<const MetadataField> schema;
  std::span<const std::uint64_t> sample_counts;  // per cache, by cache_id
  std::span<const std::uint64_t> cache_offsets;  // per cache, by cache_id
};

// The rows of an accepted table, in table order (batches in file order).
struct ValidatedTable {
  std::vector<std::uint64_t> rows;  // physical index of each row
  std::vector<double> weights;      // finite and positive
};

// Reads `ipc` in place (it must outlive the call) and checks it: metadata
// columns present by name with their kind's Arrow type, cache_id and
// sample_id non-null non-negative integers naming a sample, weight a non-null
// number; then at least one row, then every weight finite and positive. The
// first failing check, in that order and row by row, is the error.
Result<ValidatedTable> validate_replacement_table(std::span<const std::uint8_t> ipc,
                                                  const TablePopulation& population);

}  // namespace brivane
