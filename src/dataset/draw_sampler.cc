#include "dataset/draw_sampler.h"

#include <bit>

namespace brivane {

std::uint64_t draw_stream_seed(std::uint64_t seed, std::uint64_t draw) { return seed ^ std::rotl(draw, 32); }

std::uint64_t uniform_below(ChaCha8Stream& stream, std::uint64_t n) {
  if (n == 0) return 0;  // no population; callers never ask, and the shift below would be undefined
  const std::uint64_t zone = (n << std::countl_zero(n)) - 1;
  for (;;) {
    const unsigned __int128 product = static_cast<unsigned __int128>(stream.next_u64()) * n;
    if (static_cast<std::uint64_t>(product) <= zone) return static_cast<std::uint64_t>(product >> 64);
  }
}

DrawSampler DrawSampler::uniform(std::uint64_t seed, std::uint64_t first_draw, std::uint64_t count,
                                 std::uint64_t population) {
  return DrawSampler(seed, first_draw, count, Uniform{population});
}

DrawSampler DrawSampler::weighted(std::uint64_t seed, std::uint64_t first_draw, std::uint64_t count,
                                  WeightedIndex index) {
  return DrawSampler(seed, first_draw, count, std::move(index));
}

std::uint64_t DrawSampler::population() const {
  if (const auto* u = std::get_if<Uniform>(&choice_)) return u->population;
  return std::get<WeightedIndex>(choice_).size();
}

std::uint64_t DrawSampler::position_at(std::uint64_t j) const {
  ChaCha8Stream stream(draw_stream_seed(seed_, first_draw_ + j));
  if (const auto* u = std::get_if<Uniform>(&choice_)) return uniform_below(stream, u->population);
  return std::get<WeightedIndex>(choice_).sample(stream.next_u64());
}

std::optional<std::uint64_t> DrawSampler::next() {
  if (taken_ == count_) return std::nullopt;
  return position_at(taken_++);
}

}  // namespace brivane
