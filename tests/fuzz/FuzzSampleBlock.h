#pragma once
// Checks shared by the two sample-block decoder targets.
#include <cmath>
#include <cstdint>

#include "FuzzInput.h"
#include "device/DrvResponse.h"

namespace quellar::fuzz {

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
