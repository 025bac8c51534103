#pragma once
// Probe programs as the tuning builds them, and runs of them on a virtual analyzer with the
// samples decoded by the library's own sample decoder.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "device/DrvResponse.h"
#include "program/DrvCompilerBytecode.h"
#include "sim/SimAnalyzer.h"

namespace quellar::test {

// A sample from its key=value text.
inline sim::TSimSample Sample(const std::string& text) {
  sim::TSimSample s;
  std::string error;
  EXPECT_TRUE(sim::ParseSimSample(text, s, error)) << error;
  return s;
}

inline std::vector<uint8_t> Code(program::TProgramCompilerBytecode& program) {
  std::vector<uint8_t> code;
  program.Compile(&code, false);
  return code;
}

// Baseline at samples 0..99, an impulse, the signal from sample 100 on.
inline std::vector<uint8_t> ProbeCode(int64_t duration, int64_t signalWindow = 5000000) {
  program::TProgramCompilerBytecode p;
  p.AddReading(100000, 1000);
  p.AddImpulse(0, duration, 8000);
  p.AddSilence(10000);
  p.AddReading(signalWindow, 1000);
  return Code(p);
}

// Two impulses a period apart, each followed by 100 samples (100..199 and 200..299).
inline std::vector<uint8_t> RecoveryCode(int64_t d90, int64_t period) {
  program::TProgramCompilerBytecode p;
  p.AddReading(100000, 1000);
  p.AddImpulse(0, d90, 8000);
  p.AddSilence(10000);
  p.AddReading(100000, 1000);
  p.AddSilence(period - 110000);
  p.AddImpulse(0, d90, 8000);
  p.AddSilence(10000);
  p.AddReading(100000, 1000);
  return Code(p);
}

// Samples of one run, and their distance from the mean of the first 100 (the baseline).
struct Samples {
  std::vector<double> re, im;
  double mre = 0, mim = 0;
  double Deviation(size_t i) const { return std::hypot(re[i] - mre, im[i] - mim); }
  double Sum(size_t from, size_t to) const {
    double s = 0;
    for (size_t i = from; i < to; ++i) s += Deviation(i);
    return s;
  }
};

// Loads and runs the code at now, waits for it, then lets pauseNs pass.
inline Samples Play(sim::TSimAnalyzer& analyzer, const std::vector<uint8_t>& code, int64_t& now,
                    int64_t pauseNs = 500000000) {
  analyzer.Load(code.data(), code.size());
  analyzer.Start(now);
  now = analyzer.FinishTime();
  const std::vector<uint8_t>& block = analyzer.Block(now);
  device::TDriverResponse response;
  if (analyzer.Settings().Detector == 8) {
    response.DecodeAmplitude(block.data(), block.size());
  } else {
    response.DecodeQuadrature(block.data(), block.size());
  }
  Samples s;
  for (int32_t i = 0; i < response.Count(); ++i) {
    s.re.push_back(response.Real.GetValue(i));
    s.im.push_back(response.Imaginary.GetValue(i));
  }
  for (size_t k = 0; k < 100 && k < s.re.size(); ++k)
    s.mre += s.re[k] / 100, s.mim += s.im[k] / 100;
  now += pauseNs;
  return s;
}

}  // namespace quellar::test
