// Pseudo-random numbers for the snapshot generator.
//
// Generated snapshots must be byte-identical for a seed on every platform and
// standard library, and the std:: distributions are not specified to the bit.
// So the engine (xoshiro256**, seeded through splitmix64) and every mapping to
// a range are our own; all of them are exactly reproducible.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>

namespace tarn_snapshot_gen {

// One step of splitmix64: advances `state` and returns its next output.
constexpr std::uint64_t splitmix64(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

class Random {
 public:
  explicit Random(std::uint64_t seed) {
    for (auto& word : state_) word = splitmix64(seed);
  }

  std::uint64_t next() {
    const std::uint64_t result = std::rotl(state_[1] * 5, 7) * 9;
    const std::uint64_t t = state_[1] << 17;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= t;
    state_[3] = std::rotl(state_[3], 45);
    return result;
  }

  // Uniform in [0, bound); bound > 0. Unbiased: outputs below 2^64 mod bound
  // are drawn again, so the accepted range is a whole number of periods.
  std::uint64_t below(std::uint64_t bound) {
    const std::uint64_t threshold = (0 - bound) % bound;
    for (;;) {
      const std::uint64_t r = next();
      if (r >= threshold) return r % bound;
    }
  }

  // Uniform in [low, high]; low <= high < 2^64 - 1.
  std::uint64_t between(std::uint64_t low, std::uint64_t high) { return low + below(high - low + 1); }

  // True with probability numerator / denominator.
  bool chance(std::uint64_t numerator, std::uint64_t denominator) { return below(denominator) < numerator; }

  // In [low, high] (1 <= low <= high < 2^31) with every power-of-two octave
  // equally likely: sizes in compiled programs spread over orders of
  // magnitude, and small ones are common.
  std::uint32_t log_uniform(std::uint32_t low, std::uint32_t high) {
    const int first = std::bit_width(low) - 1;
    const int last = std::bit_width(high) - 1;
    const int octave = first + static_cast<int>(below(static_cast<std::uint64_t>(last - first + 1)));
    const std::uint32_t from = std::max(low, std::uint32_t{1} << octave);
    const std::uint32_t to = std::min(high, (std::uint32_t{2} << octave) - 1);
    return static_cast<std::uint32_t>(between(from, to));
  }

 private:
  std::uint64_t state_[4];
};

}  // namespace tarn_snapshot_gen
