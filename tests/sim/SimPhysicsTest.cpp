// The sample's physics, judged by what the tuning and the measurements will rely on.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "SimTestUtil.h"
#include "numerics/fourier/fourier.h"
#include "sim/SimAnalyzer.h"

namespace quellar::test {
namespace {

using sim::TSimAnalyzer;

// The largest total signal after one impulse marks 90 degrees, the smallest 180 degrees.
TEST(TSimAnalyzer, DurationScanFindsNinetyAndOneEightyDegrees) {
  for (double d90 : {3300.0, 2500.0}) {
    TSimAnalyzer analyzer(Sample("d90=" + std::to_string(d90)));
    int64_t now = 0, d90Found = 0, d180Found = 0;
    double largest = 0, smallest = 1e300;
    for (int64_t d = 1500; d <= 10000; d += 100) {
      const double s = Play(analyzer, ProbeCode(d), now).Sum(100, 5100);
      if (s > largest) largest = s, d90Found = d;
      if (s < smallest) smallest = s, d180Found = d;
    }
    EXPECT_NEAR(d90Found, d90, 100);
    EXPECT_NEAR(d180Found, 2 * d90, 100);
  }
}

// The mean size of the first ten signal samples grows with the gain, so the twelve halvings
// of the tuning end within 5 % of 0.35 * 1024; far above it the channels clip and are flagged.
TEST(TSimAnalyzer, GainSearchReachesTheTargetAndClipsAboveIt) {
  TSimAnalyzer analyzer;
  int64_t now = 0;
  const auto probe = ProbeCode(3300);
  const auto firstTen = [&](int32_t gain) {
    analyzer.Settings().Gain = gain;
    return Play(analyzer, probe, now).Sum(100, 110) / 10;
  };
  double last = 0;
  for (int32_t gain = 0; gain <= 2560; gain += 512) {
    const double a = firstTen(gain);
    EXPECT_GT(a, last * 1.5) << gain;
    last = a;
  }
  int32_t gain = 2048, step = 2048;
  double a = 0;
  while (step > 0) {
    a = firstTen(gain);
    step /= 2;
    gain += 358.4 > a ? step : -step;
  }
  EXPECT_NEAR(a, 358.4, 0.05 * 358.4);

  analyzer.Settings().Gain = 4095;
  analyzer.Settings().BiasRoughly = 1700;  // on resonance: the signal lies along +real
  analyzer.Load(probe.data(), probe.size());
  analyzer.Start(now);
  const std::vector<uint8_t>& block = analyzer.Block(analyzer.FinishTime());
  device::TDriverResponse r;
  r.DecodeQuadrature(block.data(), block.size());
  EXPECT_EQ(r.Real.GetValue(100), 1023);
  EXPECT_TRUE(r.Real.Flags[100]);
  EXPECT_FALSE(r.Real.Flags[0]);
}

// The spectrum's peak sits below the middle while the coarse bias is below the resonance, so
// the tuning's halving search ends next to it; one code is one bin of the probe's spectrum.
TEST(TSimAnalyzer, ResonanceSearchEndsAtTheSamplesBias) {
  for (double resonance : {1700.0, 612.4, 3333.0}) {
    TSimAnalyzer analyzer(Sample("resonance=" + std::to_string(resonance)));
    int64_t now = 0;
    const auto probe = ProbeCode(3300);
    const auto peak = [&](int32_t bias) {
      analyzer.Settings().BiasRoughly = bias;
      const Samples s = Play(analyzer, probe, now);
      std::vector<double> re, im, power(s.re.size() - 100);
      for (size_t i = 100; i < s.re.size(); ++i) {
        re.push_back(s.re[i] - s.re[0]);
        im.push_back(s.im[i] - s.im[0]);
      }
      fourier::PowerSpectrum(re.data(), im.data(), power.data(), power.size());
      return static_cast<int64_t>(fourier::PeakIndex(power.data(), power.size())) - 2500;
    };
    int32_t bias = 2048, step = 2048;
    while (step > 0) {
      const int64_t k = peak(bias);
      step /= 2;
      bias += k < 0 ? step : -step;
    }
    EXPECT_NEAR(bias, resonance, 2);
    const int32_t near = static_cast<int32_t>(std::lround(resonance));
    EXPECT_NEAR(peak(near + 40) - peak(near), 40, 1);
  }
}

// Spin echoes of a CPMG train (90x, then 180y every 2 tau) decay with T2 although the free
// induction has died away with T2*; with exact impulses nothing comes back after the train.
TEST(TSimAnalyzer, EchoesDecayWithT2WhileTheFreeInductionDiesWithT2Star) {
  TSimAnalyzer analyzer(Sample("d90=3400,t2=3e7,t2star=1e6,amplitude=400,noise=0,b1_spread=0"));
  const int64_t d90 = 3400, tau = 500000;
  program::TProgramCompilerBytecode echo, p;
  echo.AddImpulse(1, 2 * d90, tau - d90);
  echo.AddReading(500, 500);
  echo.AddSilence(tau - 100 - d90 - 500);
  p.AddReading(100000, 1000);
  p.AddImpulse(0, d90, tau - 100 - 3 * d90 / 2);
  p.AddPackage(&echo, 60);
  p.AddReading(50000000, 100000);
  int64_t now = 0;
  const Samples s = Play(analyzer, Code(p), now);
  ASSERT_EQ(s.re.size(), 100u + 60 + 500);
  // Echo k sits at 2 tau k after the 90 degree impulse.
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (int k = 1; k <= 60; ++k) {
    const double x = 2.0 * tau * k, y = std::log(s.Deviation(99 + k));
    sx += x, sy += y, sxx += x * x, sxy += x * y;
  }
  const double slope = (60 * sxy - sx * sy) / (60 * sxx - sx * sx);
  EXPECT_NEAR(-1 / slope, 3e7, 0.03 * 3e7);
  EXPECT_NEAR(s.Deviation(100), 400 * std::exp(-2.0 * tau / 3e7), 4);
  // After the train and the last echo's tail: the baseline for 45 ms.
  for (size_t i = 210; i < s.re.size(); ++i) ASSERT_LT(s.Deviation(i), 1.5) << i;
}

// After a 90 degree impulse the magnetization recovers with T1: the second of two impulses a
// period P apart gives 1 - e^(-P/T1) of the first signal, 90 % at T1 ln 10; runs too close to
// each other see what the earlier run left.
TEST(TSimAnalyzer, SecondSignalRecoversWithT1) {
  TSimAnalyzer analyzer(Sample("t1=5e7"));
  int64_t now = 0;
  for (double ratio : {0.5, 0.9, 0.99}) {
    const int64_t period = std::llround(-5e7 * std::log(1 - ratio) / 100) * 100;
    const Samples s = Play(analyzer, RecoveryCode(3300, period), now);
    // The impulses are period + d90 + 8000 apart.
    const double expected = 1 - std::exp(-(period + 3300 + 8000) / 5e7);
    EXPECT_NEAR(s.Sum(200, 300) / s.Sum(100, 200), expected, 0.01) << ratio;
  }
  const auto probe = ProbeCode(3300);
  const double rested = Play(analyzer, probe, now, 20000000).Sum(100, 110);
  const double hurried = Play(analyzer, probe, now).Sum(100, 110);
  EXPECT_NEAR(hurried / rested, 1 - std::exp(-(20e6 + 5.1e6) / 5e7), 0.02);
}

// The amplitude detector packs two samples per group and reports the distance from zero; the
// filters cut the noise by the square root of their bandwidth and attenuate a far offset.
TEST(TSimAnalyzer, DetectorLayoutsAndFilters) {
  TSimAnalyzer analyzer(Sample("noise=20,amplitude=100"));
  int64_t now = 0;
  const auto probe = ProbeCode(3300, 5001000);
  analyzer.Settings().Detector = 8;
  Samples amplitude = Play(analyzer, probe, now);
  EXPECT_EQ(analyzer.Block(now).size(), 5101u / 2 * 3 + 2);
  ASSERT_EQ(amplitude.re.size(), 5101u);
  EXPECT_NEAR(amplitude.re[100], 100, 3 * 20);
  EXPECT_EQ(amplitude.im[100], 0);
  analyzer.Settings().Detector = 0;

  const auto noise = [&](int32_t filter) {
    analyzer.Settings().Filter = filter;
    const Samples s = Play(analyzer, probe, now);
    double sum = 0, squares = 0;
    for (size_t i = 0; i < 100; ++i) sum += s.re[i], squares += s.re[i] * s.re[i];
    return std::sqrt(squares / 100 - sum * sum / 1e4);
  };
  const double off = noise(0);
  EXPECT_NEAR(off, 20, 4);
  EXPECT_NEAR(noise(1) / off, std::sqrt(0.05), 0.06);
  EXPECT_NEAR(noise(3) / off, std::sqrt(0.5), 0.12);

  analyzer.Settings().BiasRoughly = 1700 + 1500;  // 300 kHz off
  analyzer.Settings().Filter = 0;
  const double open = Play(analyzer, probe, now).Sum(100, 110);
  analyzer.Settings().Filter = 1;
  const double filtered = Play(analyzer, probe, now).Sum(100, 110);
  EXPECT_NEAR(filtered / open, 1 / std::sqrt(10.0), 0.05);
}

}  // namespace
}  // namespace quellar::test
