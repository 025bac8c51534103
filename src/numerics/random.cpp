#include "numerics/random.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <numbers>

namespace quellar::numerics {

namespace {
uint64_t SplitMix(uint64_t z) {
  z += 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}
std::atomic<uint64_t> gSeedCounter{0};
}  // namespace

RandomSeed ClockSeed() {
  const uint64_t now =
      static_cast<uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count());
  const uint64_t mixed = SplitMix(now ^ SplitMix(gSeedCounter.fetch_add(1)));
  // Zero is a fixed point of a multiply-with-carry half, so the seeds are drawn from 1..9999.
  return {static_cast<uint16_t>(1 + mixed % 9999), static_cast<uint16_t>(1 + (mixed >> 32) % 9999)};
}

void TRandom::Seed(RandomSeed seed) {
  x_ = seed.s1;
  y_ = seed.s2;
  cx_ = cy_ = 0;
  hasCached_ = false;
}

int32_t TRandom::Next() {
  const uint32_t t = 18000u * x_ + cx_;
  x_ = t & 0xFFFFu;
  cx_ = t >> 16;
  const uint32_t u = 30903u * y_ + cy_;
  y_ = u & 0xFFFFu;
  cy_ = u >> 16;
  return static_cast<int32_t>((x_ << 16) | y_);
}

double TRandom::Uniform() {
  return (Next() + 2147483648.0) / 4294967296.0;
}

double TRandom::Normal() {
  if (hasCached_) {
    hasCached_ = false;
    return cached_;
  }
  double u1;
  do {
    u1 = Uniform();
  } while (u1 == 0.0);
  const double u2 = Uniform();
  const double r = std::sqrt(-2.0 * std::log(u1));
  const double theta = 2.0 * std::numbers::pi * u2;
  cached_ = r * std::sin(theta);
  hasCached_ = true;
  return r * std::cos(theta);
}

}  // namespace quellar::numerics
