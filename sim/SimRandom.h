#pragma once
// The virtual analyzer's random generator: xoshiro256** seeded through splitmix64, so one seed
// gives the same noise on every platform and build; normal values by the ziggurat method,
// which needs one draw and one comparison for nearly every value.
#include <array>
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

  // Uniform in (0, 1).
  double Uniform() { return (static_cast<double>(Next() >> 11) + 0.5) * 0x1.0p-53; }

  // A standard normal value: 128 layers of equal area under the density; a point drawn in
  // a layer's inner rectangle is taken at once, the rest is decided against the density.
  double Normal() {
    const Tables& t = Layers();
    for (;;) {
      const uint64_t r = Next();
      const int layer = static_cast<int>(r & 127);
      const int32_t h = static_cast<int32_t>(r >> 32);
      const double x = h * t.w[layer];
      if (static_cast<uint32_t>(std::abs(static_cast<int64_t>(h))) < t.k[layer]) return x;
      if (layer == 0) {
        // The tail beyond the last layer.
        double a, b;
        do {
          a = -std::log(Uniform()) / kEdge;
          b = -std::log(Uniform());
        } while (b + b < a * a);
        return h > 0 ? kEdge + a : -kEdge - a;
      }
      if (t.f[layer] + Uniform() * (t.f[layer - 1] - t.f[layer]) < std::exp(-0.5 * x * x)) {
        return x;
      }
    }
  }

 private:
  static constexpr double kEdge = 3.442619855899;
  struct Tables {
    std::array<uint32_t, 128> k;
    std::array<double, 128> w, f;
  };
  static const Tables& Layers() {
    static const Tables tables = [] {
      Tables t{};
      const double m = 2147483648.0, area = 9.91256303526217e-3;
      double d = kEdge, last = kEdge;
      const double q = area / std::exp(-0.5 * d * d);
      t.k[0] = static_cast<uint32_t>(d / q * m);
      t.k[1] = 0;
      t.w[0] = q / m;
      t.w[127] = d / m;
      t.f[0] = 1.0;
      t.f[127] = std::exp(-0.5 * d * d);
      for (int i = 126; i >= 1; --i) {
        d = std::sqrt(-2.0 * std::log(area / d + std::exp(-0.5 * d * d)));
        t.k[i + 1] = static_cast<uint32_t>(d / last * m);
        last = d;
        t.f[i] = std::exp(-0.5 * d * d);
        t.w[i] = d / m;
      }
      return t;
    }();
    return tables;
  }
  static uint64_t Rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  uint64_t state_[4];
};

}  // namespace quellar::sim
