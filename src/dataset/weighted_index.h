// Weighted choice of a row from one 64-bit draw: cumulative weights searched
// with a uniform float over [0, total).
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "runtime/error.h"

namespace brivane {

class WeightedIndex {
 public:
  // Refuses an empty list, a weight that is not positive and finite, and a
  // total that overflows to infinity.
  static Result<WeightedIndex> build(std::span<const double> weights);

  // Number of rows the index chooses from.
  std::uint64_t size() const { return cumulative_.size() + 1; }
  double total() const { return total_; }
  // Width of the float range, shrunk until the largest draw stays below total.
  double scale() const { return scale_; }

  // The row the draw `v` selects: search(point(v >> 12)).
  std::uint64_t sample(std::uint64_t v) const;
  // The float in [0, total) a 52-bit draw `m` stands for.
  double point(std::uint64_t m) const;
  // The row holding `x`: how many cumulative sums are <= x.
  std::uint64_t search(double x) const;

 private:
  WeightedIndex(std::vector<double> cumulative, double total, double scale)
      : cumulative_(std::move(cumulative)), total_(total), scale_(scale) {}
  void build_guide();

  std::vector<double> cumulative_;  // running sums before rows 1 .. size-1
  double total_;
  double scale_;
  // A plain binary search over millions of sums misses the cache at nearly
  // every step. Draws are bucketed by their top bits instead: guide_[b] is
  // the row of bucket b's smallest draw, and since the row only grows with
  // the draw, every draw of bucket b lands in [guide_[b], guide_[b + 1]].
  // Empty for short lists.
  std::vector<std::uint64_t> guide_;
  int guide_shift_ = 52;
};

}  // namespace brivane
