#include "dataset/weighted_index.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <string>

namespace brivane {

namespace {

// The largest value (1 - 2^-52) a unit float from a draw can take.
constexpr double kMaxUnit = 1.0 - 0x1p-52;

double next_down(double positive) { return std::bit_cast<double>(std::bit_cast<std::uint64_t>(positive) - 1); }

}  // namespace

Result<WeightedIndex> WeightedIndex::build(std::span<const double> weights) {
  for (std::size_t i = 0; i < weights.size(); ++i) {
    const double w = weights[i];
    if (!(w > 0.0) || !std::isfinite(w)) {
      return ModuleError::invalid_argument("weight " + std::to_string(i) + " must be positive and finite");
    }
  }
  if (weights.empty()) return ModuleError::invalid_argument("invalid weights: No weights provided in distribution");

  std::vector<double> cumulative;
  cumulative.reserve(weights.size() - 1);
  double total = weights[0];
  for (std::size_t k = 1; k < weights.size(); ++k) {
    cumulative.push_back(total);
    total += weights[k];
  }
  // Finite weights can still sum past the float range; no draw could then be
  // scaled into [0, total).
  if (!std::isfinite(total)) return ModuleError::invalid_argument("invalid weights: total weight is not finite");

  double scale = total;
  while (scale * kMaxUnit >= total) scale = next_down(scale);
  WeightedIndex index(std::move(cumulative), total, scale);
  index.build_guide();
  return index;
}

void WeightedIndex::build_guide() {
  constexpr std::size_t kMinGuided = 64;
  constexpr int kMaxGuideBits = 20;
  if (cumulative_.size() < kMinGuided) return;
  const int bits = std::min(kMaxGuideBits, static_cast<int>(std::bit_width(cumulative_.size())));
  guide_shift_ = 52 - bits;
  const std::uint64_t buckets = std::uint64_t{1} << bits;
  guide_.resize(buckets + 1);
  std::uint64_t row = 0;
  for (std::uint64_t b = 0; b < buckets; ++b) {
    const double lowest = point(b << guide_shift_);
    while (row < cumulative_.size() && cumulative_[row] <= lowest) ++row;
    guide_[b] = row;
  }
  guide_[buckets] = cumulative_.size();
}

double WeightedIndex::point(std::uint64_t m) const {
  const double unit = std::bit_cast<double>(m | 0x3FF0000000000000ULL) - 1.0;
  return unit * scale_ + 0.0;
}

std::uint64_t WeightedIndex::sample(std::uint64_t v) const {
  const std::uint64_t m = v >> 12;
  const double x = point(m);
  if (guide_.empty()) return search(x);
  const std::uint64_t bucket = m >> guide_shift_;
  const auto first = cumulative_.begin() + static_cast<std::ptrdiff_t>(guide_[bucket]);
  const auto last = cumulative_.begin() + static_cast<std::ptrdiff_t>(guide_[bucket + 1]);
  return static_cast<std::uint64_t>(std::upper_bound(first, last, x) - cumulative_.begin());
}

std::uint64_t WeightedIndex::search(double x) const {
  return static_cast<std::uint64_t>(std::upper_bound(cumulative_.begin(), cumulative_.end(), x) - cumulative_.begin());
}

}  // namespace brivane
