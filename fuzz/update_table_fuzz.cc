// A replacement active table: Arrow IPC file bytes handed in by Python.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_schema.h"
#include "table/update_validation.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const brivane::MetadataSchema schema = brivane::fuzz::seed_schema();
  const auto& counts = brivane::fuzz::seed_sample_counts();
  const auto& offsets = brivane::fuzz::seed_cache_offsets();
  const brivane::TablePopulation population{schema, counts, offsets};
  // An exact-size heap copy, so a read past the end is caught.
  std::vector<std::uint8_t> ipc(data, data + size);
  auto table = brivane::validate_replacement_table(ipc, population);
  if (!table.ok()) return 0;
  if (table->rows.empty() || table->rows.size() != table->weights.size()) __builtin_trap();
  const std::uint64_t population_size = offsets.back() + counts.back();
  for (std::size_t r = 0; r < table->rows.size(); ++r) {
    if (table->rows[r] >= population_size) __builtin_trap();
    if (!std::isfinite(table->weights[r]) || !(table->weights[r] > 0)) __builtin_trap();
  }
  return 0;
}
