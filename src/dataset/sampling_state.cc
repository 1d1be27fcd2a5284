#include "dataset/sampling_state.h"

#include <limits>
#include <span>
#include <utility>

namespace brivane {

SamplingState initial_sampling_state(std::uint64_t total_physical) {
  SamplingState state;
  state.epoch_len = total_physical;
  return state;
}

namespace {

Result<EpochPlan> plan_sequential(SamplingState& state, std::uint64_t total_physical) {
  const ActiveTableOverride* table = state.override_table ? &*state.override_table : nullptr;
  const std::uint64_t population = table ? (table->rows ? table->rows->size() : 0) : total_physical;
  if (population == 0) return ModuleError::invalid_argument("cannot iterate an empty active population");

  const std::uint64_t start = state.sequential_cursor;
  const std::uint64_t step = state.epoch_len % population;
  state.sequential_cursor = start < population - step ? start + step : start + step - population;
  return EpochPlan::sequential(start, state.epoch_len, population, table ? table->rows : nullptr);
}

Result<EpochPlan> plan_shuffled(SamplingState& state, std::uint64_t seed, std::uint64_t total_physical) {
  const std::uint64_t start = state.draw_offset;
  const std::uint64_t count = state.epoch_len;
  if (count > std::numeric_limits<std::uint64_t>::max() - start) {
    return ModuleError::invalid_argument("shuffled draw offset overflowed u64");
  }
  // The offset moves even if the population below turns out unusable.
  state.draw_offset = start + count;

  if (!state.override_table) {
    if (total_physical == 0) return ModuleError::invalid_argument("cannot sample from an empty population");
    return EpochPlan::shuffled(DrawSampler::uniform(seed, start, count, total_physical), nullptr);
  }

  const ActiveTableOverride& table = *state.override_table;
  std::span<const double> weights;
  if (table.weights) weights = *table.weights;
  BRV_ASSIGN_OR_RETURN(WeightedIndex index, WeightedIndex::build(weights));
  const std::uint64_t rows = table.rows ? table.rows->size() : 0;
  if (rows != index.size()) return ModuleError::internal_fault("active table rows and weights differ in length");
  return EpochPlan::shuffled(DrawSampler::weighted(seed, start, count, std::move(index)), table.rows);
}

}  // namespace

Result<EpochPlan> plan_epoch(SamplingState& state, bool shuffle, std::uint64_t seed, std::uint64_t total_physical) {
  return shuffle ? plan_shuffled(state, seed, total_physical) : plan_sequential(state, total_physical);
}

Status set_epoch_len(SamplingState& state, std::uint64_t epoch_len) {
  if (epoch_len == 0) return ModuleError::invalid_argument("epoch_len must be at least 1");
  state.epoch_len = epoch_len;
  return ok_status();
}

void install_active_table(SamplingState& state, ActiveTableOverride table) {
  state.override_table = std::move(table);
  state.sequential_cursor = 0;
  state.draw_offset = 0;
}

}  // namespace brivane
