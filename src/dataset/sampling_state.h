// The mutable sampling bookkeeping of a dataset and the step that turns it
// into the next epoch's plan. The dataset holds the lock; these functions
// only see the state it guards.
#pragma once

#include <cstdint>
#include <optional>

#include "dataset/active_table.h"
#include "dataset/epoch_plan.h"
#include "runtime/error.h"

namespace brivane {

struct SamplingState {
  std::optional<ActiveTableOverride> override_table;
  std::uint64_t epoch_len = 0;
  // Population position where the next unshuffled epoch starts.
  std::uint64_t sequential_cursor = 0;
  // Draw index where the next shuffled epoch starts.
  std::uint64_t draw_offset = 0;
};

// A fresh dataset: every physical sample, epochs as long as the population.
SamplingState initial_sampling_state(std::uint64_t total_physical);

// Plan the next epoch and move the counter its mode uses by the full epoch
// length, whether or not the iterator is ever consumed.
Result<EpochPlan> plan_epoch(SamplingState& state, bool shuffle, std::uint64_t seed, std::uint64_t total_physical);

// Later epochs yield `epoch_len` items; running iterators keep their own.
Status set_epoch_len(SamplingState& state, std::uint64_t epoch_len);

// Swap in a new active table; both counters restart so the next epoch begins
// at row 0 or draw 0. The epoch length stays.
void install_active_table(SamplingState& state, ActiveTableOverride table);

}  // namespace brivane
