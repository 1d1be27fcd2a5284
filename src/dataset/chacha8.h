// The seeded keystream behind every shuffled draw: a 64-bit seed expanded to a
// 256-bit key, then ChaCha with 8 rounds read as 64-bit little-endian values.
#pragma once

#include <array>
#include <cstdint>

namespace brivane {

// The eight 32-bit key words PCG32 (XSH-RR) yields from `seed`.
std::array<std::uint32_t, 8> expand_seed(std::uint64_t seed);

// Keystream of ChaCha8 keyed by expand_seed(seed) (or a raw key), block
// counter from 0 and nonce 0. Blocks are computed one at a time as they are
// consumed: a draw almost always needs only the first 8 bytes of block 0.
class ChaCha8Stream {
 public:
  explicit ChaCha8Stream(std::uint64_t seed) : ChaCha8Stream(expand_seed(seed)) {}
  explicit ChaCha8Stream(const std::array<std::uint32_t, 8>& key);

  // The next two keystream words, the first as the low half.
  std::uint64_t next_u64();

 private:
  void refill();

  std::array<std::uint32_t, 16> input_;
  std::array<std::uint32_t, 16> block_;
  unsigned word_ = 16;  // next unread word of block_; 16 = none computed yet
};

}  // namespace brivane
