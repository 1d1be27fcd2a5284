// Which physical sample each position of one epoch reads. A plan is a
// snapshot made by iter(); later changes to the dataset never reach it.
#pragma once

#include <cstdint>
#include <variant>

#include "dataset/active_table.h"
#include "dataset/draw_sampler.h"
#include "runtime/error.h"

namespace brivane {

// A cyclic walk over the population from `start`, `count` positions long.
struct SequentialWalk {
  std::uint64_t start;
  std::uint64_t count;
  std::uint64_t population;
};

class EpochPlan {
 public:
  // Without `rows` a population position is the physical index itself.
  static EpochPlan sequential(std::uint64_t start, std::uint64_t count, std::uint64_t population, PhysicalRows rows);
  static EpochPlan shuffled(DrawSampler sampler, PhysicalRows rows);

  // Number of positions the epoch yields.
  std::uint64_t len() const;
  const SequentialWalk* walk() const { return std::get_if<SequentialWalk>(&order_); }
  const DrawSampler* sampler() const { return std::get_if<DrawSampler>(&order_); }
  const PhysicalRows& rows() const { return rows_; }

  // Physical index read at position j. A position past the epoch or one that
  // maps outside the population is a broken pipeline: WorkerFailed.
  Result<std::uint64_t> physical_index(std::uint64_t j) const;
  // The same for positions 0, 1, 2, ... in turn.
  Result<std::uint64_t> next_physical();
  std::uint64_t next_position() const { return next_; }

 private:
  EpochPlan(std::variant<SequentialWalk, DrawSampler> order, PhysicalRows rows)
      : order_(std::move(order)), rows_(std::move(rows)) {}

  Result<std::uint64_t> resolve(std::uint64_t position, std::uint64_t population) const;

  std::variant<SequentialWalk, DrawSampler> order_;
  PhysicalRows rows_;
  std::uint64_t next_ = 0;
};

}  // namespace brivane
