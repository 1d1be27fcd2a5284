#include "table/table_exchange.h"

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "table/update_validation.h"

namespace brivane {
namespace {

std::vector<std::uint64_t> sample_counts(const DatasetCore& core) {
  std::vector<std::uint64_t> counts;
  if (!core.caches) return counts;
  counts.reserve(core.caches->size());
  for (const auto& cache : *core.caches) counts.push_back(cache->sample_count());
  return counts;
}

Status copy_to(const std::string& bytes, const IpcDestination& destination) {
  BRV_ASSIGN_OR_RETURN(std::uint8_t* memory, destination(bytes.size()));
  if (!bytes.empty()) std::memcpy(memory, bytes.data(), bytes.size());
  return ok_status();
}

}  // namespace

Status export_active_table(DatasetCore& core, const IpcDestination& destination) {
  if (!core.caches || !core.cache_offsets) return ModuleError::internal_fault("dataset has no caches");
  return with_sampling_state(core, [&](SamplingState& state) -> Status {
    if (state.override_table) {
      if (!state.override_table->ipc) return ModuleError::internal_fault("active table lost its bytes");
      return copy_to(*state.override_table->ipc, destination);
    }
    BRV_ASSIGN_OR_RETURN(ExportTable table, build_default_table(core.schema, *core.caches, *core.cache_offsets));
    return write_table_ipc(table, destination);
  });
}

Status replace_active_table(DatasetCore& core, std::span<const std::uint8_t> ipc) {
  if (!core.caches || !core.cache_offsets) return ModuleError::internal_fault("dataset has no caches");
  const std::vector<std::uint64_t> counts = sample_counts(core);
  const TablePopulation population{core.schema, counts, *core.cache_offsets};
  BRV_ASSIGN_OR_RETURN(ValidatedTable validated, validate_replacement_table(ipc, population));

  ActiveTableOverride table;
  table.rows = std::make_shared<const std::vector<std::uint64_t>>(std::move(validated.rows));
  table.weights = std::make_shared<const std::vector<double>>(std::move(validated.weights));
  table.ipc = std::make_shared<const std::string>(reinterpret_cast<const char*>(ipc.data()), ipc.size());
  return with_sampling_state(core, [&](SamplingState& state) -> Status {
    install_active_table(state, std::move(table));
    return ok_status();
  });
}

}  // namespace brivane
