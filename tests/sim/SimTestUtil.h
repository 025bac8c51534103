#pragma once
// Samples from their text, and the probe program as the tuning builds it.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "program/DrvCompilerBytecode.h"
#include "sim/SimAnalyzer.h"

namespace quellar::test {

inline sim::TSimSample Sample(const std::string& text) {
  sim::TSimSample s;
  std::string error;
  EXPECT_TRUE(sim::ParseSimSample(text, s, error)) << error;
  return s;
}

// Baseline at samples 0..99, an impulse, the signal from sample 100 on.
inline std::vector<uint8_t> ProbeCode(int64_t duration) {
  program::TProgramCompilerBytecode p;
  p.AddReading(100000, 1000);
  p.AddImpulse(0, duration, 8000);
  p.AddSilence(10000);
  p.AddReading(5000000, 1000);
  std::vector<uint8_t> code;
  p.Compile(&code, false);
  return code;
}

}  // namespace quellar::test
