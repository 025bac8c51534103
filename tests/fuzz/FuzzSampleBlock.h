#pragma once
// Checks shared by the two sample-block decoder targets.
#include <cmath>
#include <cstdint>

#include "device/DrvResponse.h"

namespace quellar::fuzz {

inline void Require(bool condition) {
  if (!condition) __builtin_trap();
}

inline void CheckSequenceSizes(const device::TDriverResponse& r, size_t count) {
  Require(r.Count() >= 0 && static_cast<size_t>(r.Count()) == count);
  for (const auto* s : {&r.Amplitude, &r.Real, &r.Imaginary}) {
    Require(s->Values.size() == count && s->Flags.size() == count);
  }
}

inline bool IsTenBit(float v) {
  return v >= 0.0f && v <= 1023.0f && v == std::floor(v);
}

}  // namespace quellar::fuzz
