#include "dataset/epoch_plan.h"

namespace brivane {

namespace {

// (start + (j mod P)) mod P without overflowing.
std::uint64_t cyclic_position(const SequentialWalk& walk, std::uint64_t j) {
  const std::uint64_t step = j % walk.population;
  return walk.start < walk.population - step ? walk.start + step : walk.start + step - walk.population;
}

}  // namespace

EpochPlan EpochPlan::sequential(std::uint64_t start, std::uint64_t count, std::uint64_t population,
                                PhysicalRows rows) {
  return EpochPlan(SequentialWalk{start, count, population}, std::move(rows));
}

EpochPlan EpochPlan::shuffled(DrawSampler sampler, PhysicalRows rows) {
  return EpochPlan(std::move(sampler), std::move(rows));
}

std::uint64_t EpochPlan::len() const {
  if (const auto* w = walk()) return w->count;
  return sampler()->count();
}

Result<std::uint64_t> EpochPlan::resolve(std::uint64_t position, std::uint64_t population) const {
  if (position >= population) return ModuleError::worker_failed();
  if (!rows_) return position;
  if (position >= rows_->size()) return ModuleError::worker_failed();
  return (*rows_)[position];
}

Result<std::uint64_t> EpochPlan::physical_index(std::uint64_t j) const {
  if (const auto* w = walk()) {
    if (j >= w->count || w->population == 0) return ModuleError::worker_failed();
    return resolve(cyclic_position(*w, j), w->population);
  }
  const DrawSampler& s = *sampler();
  if (j >= s.count()) return ModuleError::worker_failed();
  return resolve(s.position_at(j), s.population());
}

Result<std::uint64_t> EpochPlan::next_physical() {
  if (auto* s = std::get_if<DrawSampler>(&order_)) {
    const auto position = s->next();
    if (!position) return ModuleError::worker_failed();
    ++next_;
    return resolve(*position, s->population());
  }
  auto physical = physical_index(next_);
  if (next_ < len()) ++next_;
  return physical;
}

}  // namespace brivane
