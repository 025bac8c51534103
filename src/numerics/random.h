#pragma once
// The numeric layer's random generator: two 16-bit multiply-with-carry generators combined into
// one 32-bit draw, with uniform and Box-Muller normal deviates. Each stochastic fit owns one, so
// fits on different threads (or nested in a model callback) never share a stream.
#include <cstdint>

namespace quellar::numerics {

struct RandomSeed {
  uint16_t s1 = 0;
  uint16_t s2 = 0;
};

// Two integers in 1..9999 from the clock, mixed with a process-wide counter so that calls in
// the same clock tick still differ.
RandomSeed ClockSeed();

class TRandom {
 public:
  TRandom() { Seed({0, 0}); }
  explicit TRandom(RandomSeed seed) { Seed(seed); }
  void Seed(RandomSeed seed);
  // x * 65536 + y after one step of each generator, read as a signed integer.
  int32_t Next();
  // Uniform in [0, 1).
  double Uniform();
  // Standard normal; the second deviate of each Box-Muller pair is cached for the next call.
  double Normal();

 private:
  uint32_t x_ = 0, y_ = 0, cx_ = 0, cy_ = 0;
  double cached_ = 0.0;
  bool hasCached_ = false;
};

}  // namespace quellar::numerics
