#include "dataset/chacha8.h"

#include <bit>

namespace brivane {

std::array<std::uint32_t, 8> expand_seed(std::uint64_t seed) {
  constexpr std::uint64_t kMul = 6364136223846793005ULL;
  constexpr std::uint64_t kInc = 11634580027462260723ULL;
  std::array<std::uint32_t, 8> key;
  std::uint64_t state = seed;
  for (auto& word : key) {
    state = state * kMul + kInc;
    const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
    word = std::rotr(xorshifted, static_cast<int>(state >> 59));
  }
  return key;
}

ChaCha8Stream::ChaCha8Stream(const std::array<std::uint32_t, 8>& key) {
  // "expand 32-byte k"
  input_[0] = 0x61707865;
  input_[1] = 0x3320646e;
  input_[2] = 0x79622d32;
  input_[3] = 0x6b206574;
  for (int i = 0; i < 8; ++i) input_[4 + i] = key[i];
  input_[12] = input_[13] = 0;  // block counter
  input_[14] = input_[15] = 0;  // nonce
}

std::uint64_t ChaCha8Stream::next_u64() {
  // Words are consumed in pairs from a 16-word block, so a value never
  // straddles two blocks.
  if (word_ == 16) refill();
  const std::uint64_t low = block_[word_];
  const std::uint64_t high = block_[word_ + 1];
  word_ += 2;
  return (high << 32) | low;
}

namespace {

inline void quarter_round(std::array<std::uint32_t, 16>& x, int a, int b, int c, int d) {
  x[a] += x[b]; x[d] = std::rotl(x[d] ^ x[a], 16);
  x[c] += x[d]; x[b] = std::rotl(x[b] ^ x[c], 12);
  x[a] += x[b]; x[d] = std::rotl(x[d] ^ x[a], 8);
  x[c] += x[d]; x[b] = std::rotl(x[b] ^ x[c], 7);
}

}  // namespace

void ChaCha8Stream::refill() {
  auto x = input_;
  for (int double_round = 0; double_round < 4; ++double_round) {
    quarter_round(x, 0, 4, 8, 12);
    quarter_round(x, 1, 5, 9, 13);
    quarter_round(x, 2, 6, 10, 14);
    quarter_round(x, 3, 7, 11, 15);
    quarter_round(x, 0, 5, 10, 15);
    quarter_round(x, 1, 6, 11, 12);
    quarter_round(x, 2, 7, 8, 13);
    quarter_round(x, 3, 4, 9, 14);
  }
  for (int i = 0; i < 16; ++i) block_[i] = x[i] + input_[i];
  word_ = 0;
  // 64-bit block counter across words 12 (low) and 13 (high).
  if (++input_[12] == 0) ++input_[13];
}

}  // namespace brivane
