// Independent seeded draws with replacement: draw k always comes from a fresh
// keystream keyed by (seed, k), so any position is computable on its own and
// the order never depends on scheduling.
#pragma once

#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "dataset/chacha8.h"
#include "dataset/weighted_index.h"

namespace brivane {

// Key of the keystream for draw `draw`: seed XOR rotl64(draw, 32).
std::uint64_t draw_stream_seed(std::uint64_t seed, std::uint64_t draw);

// Uniform value in [0, n) by widening multiply with rejection; n >= 1.
std::uint64_t uniform_below(ChaCha8Stream& stream, std::uint64_t n);

// A run of `count` draws starting at draw index `first_draw`, each choosing a
// population position uniformly or by weight.
class DrawSampler {
 public:
  static DrawSampler uniform(std::uint64_t seed, std::uint64_t first_draw, std::uint64_t count,
                             std::uint64_t population);
  static DrawSampler weighted(std::uint64_t seed, std::uint64_t first_draw, std::uint64_t count, WeightedIndex index);

  bool is_weighted() const { return std::holds_alternative<WeightedIndex>(choice_); }
  std::uint64_t population() const;
  std::uint64_t count() const { return count_; }
  std::uint64_t next_draw() const { return first_draw_ + taken_; }
  std::uint64_t remaining() const { return count_ - taken_; }

  // The position chosen by the draw of sequence position j (< count).
  std::uint64_t position_at(std::uint64_t j) const;
  // The next draw's position, or nothing once all `count` are taken.
  std::optional<std::uint64_t> next();

 private:
  struct Uniform {
    std::uint64_t population;
  };

  template <class Choice>
  DrawSampler(std::uint64_t seed, std::uint64_t first_draw, std::uint64_t count, Choice&& choice)
      : seed_(seed),
        first_draw_(first_draw),
        count_(count),
        choice_(std::in_place_type<std::decay_t<Choice>>, std::forward<Choice>(choice)) {}

  std::uint64_t seed_;
  std::uint64_t first_draw_;
  std::uint64_t count_;
  std::uint64_t taken_ = 0;
  std::variant<Uniform, WeightedIndex> choice_;
};

}  // namespace brivane
