// The simulator's random numbers: xoshiro256** seeded through splitmix64. Written out rather
// than taken from <random> because the standard distributions differ between standard
// libraries, and a seed must give the same day everywhere. Not thread-safe (one per simulation).
#ifndef QUOTELAB_SIM_SIM_RNG_H
#define QUOTELAB_SIM_SIM_RNG_H

#include <cmath>
#include <cstdint>

namespace qlsim {
namespace detail {

class Rng {
 public:
  explicit Rng(uint64_t seed) {
    for (uint64_t& word : state_) word = splitmix(seed);
  }

  uint64_t next() {
    const uint64_t result = rotl(state_[1] * 5, 7) * 9;
    const uint64_t t = state_[1] << 17;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= t;
    state_[3] = rotl(state_[3], 45);
    return result;
  }

  // Uniform in [0, 1).
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

  bool chance(double p) { return uniform() < p; }

  // Uniform in [0, n); 0 when n is 0.
  uint32_t below(uint32_t n) {
    return static_cast<uint32_t>(((next() >> 32) * static_cast<uint64_t>(n)) >> 32);
  }

  // Uniform in [lo, hi].
  int32_t between(int32_t lo, int32_t hi) {
    return lo + static_cast<int32_t>(below(static_cast<uint32_t>(hi - lo + 1)));
  }

  // Geometric count of failures before a success, with the given mean (>= 0), capped at cap.
  int32_t geometric(double mean, int32_t cap) {
    if (mean <= 0) return 0;
    const double u = 1.0 - uniform();  // (0, 1]
    const double k = std::floor(std::log(u) / std::log(mean / (1.0 + mean)));
    return k >= cap ? cap : static_cast<int32_t>(k);
  }

 private:
  static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  static uint64_t splitmix(uint64_t& x) {
    uint64_t z = (x += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

  uint64_t state_[4];
};

}  // namespace detail
}  // namespace qlsim

#endif  // QUOTELAB_SIM_SIM_RNG_H
