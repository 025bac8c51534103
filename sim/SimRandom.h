#pragma once
// The virtual analyzer's random generator: xoshiro256** seeded through splitmix64, so one seed
// gives the same noise on every platform and build; normal values by the polar method.
#include <cmath>
#include <cstdint>

namespace quellar::sim {

class TSimRandom {
 public:
  explicit TSimRandom(uint64_t seed = 1) { Seed(seed); }

  void Seed(uint64_t seed) {
    for (uint64_t& word : state_) {
      seed += 0x9E3779B97F4A7C15ull;
      uint64_t z = seed;
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
      word = z ^ (z >> 31);
    }
  }

  uint64_t Next() {
    const uint64_t result = Rotl(state_[1] * 5, 7) * 9;
    const uint64_t t = state_[1] << 17;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= t;
    state_[3] = Rotl(state_[3], 45);
    return result;
  }

  // Uniform in (-1, 1), never exactly an end.
  double Symmetric() { return (static_cast<double>(Next() >> 11) + 0.5) * 0x1.0p-52 - 1.0; }

  // Two independent standard normal values.
  void NormalPair(double& a, double& b) {
    double u, v, s;
    do {
      u = Symmetric();
      v = Symmetric();
      s = u * u + v * v;
    } while (s >= 1.0 || s == 0.0);
    const double f = std::sqrt(-2.0 * std::log(s) / s);
    a = u * f;
    b = v * f;
  }

 private:
  static uint64_t Rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  uint64_t state_[4];
};

}  // namespace quellar::sim
