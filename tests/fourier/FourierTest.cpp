#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "numerics/fourier/fourier.h"
#include "numerics/fourier/fourier_passes.h"
#include "numerics/fourier/fourier_plan.h"

namespace quellar::fourier {
namespace {

using LComplex = std::complex<long double>;
constexpr long double kTwoPi = 6.283185307179586476925286766559005768L;

struct Signal {
  std::vector<double> re, im;
};

Signal Random(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  Signal s{std::vector<double>(n), std::vector<double>(n)};
  for (std::size_t i = 0; i < n; ++i) {
    s.re[i] = dist(gen);
    s.im[i] = dist(gen);
  }
  return s;
}

Signal Transform(const Signal& x, int sign) {
  Signal y{std::vector<double>(x.re.size()), std::vector<double>(x.re.size())};
  EXPECT_TRUE(
      FourierTransform(x.re.data(), x.im.data(), y.re.data(), y.im.data(), x.re.size(), sign));
  return y;
}

// The defining sum in extended precision, with exact integer reduction of j*k mod n.
class DirectSum {
 public:
  explicit DirectSum(std::size_t n) : n_(n), cos_(n), sin_(n) {
    // Arguments are folded into [0, pi/4] exactly, by quarter turns and the complement, so
    // the library's sine and cosine need no range reduction (slow in long double) and the
    // quarter turns come out exact (a huge sign would magnify the rounding of sin(pi)).
    constexpr long double kHalfPi = kTwoPi / 4;
    for (std::size_t t = 0; t < n; ++t) {
      const std::size_t quarter = 4 * t / n, rest = 4 * t % n;
      long double c, s;
      if (2 * rest <= n) {
        c = std::cos(kHalfPi * rest / n);
        s = std::sin(kHalfPi * rest / n);
      } else {
        c = std::sin(kHalfPi * (n - rest) / n);
        s = std::cos(kHalfPi * (n - rest) / n);
      }
      const long double rc[4] = {c, -s, -c, s}, rs[4] = {s, c, -s, -c};
      cos_[t] = rc[quarter];
      sin_[t] = rs[quarter];
    }
  }
  // Raw pointers in the loops: this runs ~1e8 times per test run, also unoptimised.
  const long double* Cos() const { return cos_.data(); }
  const long double* Sin() const { return sin_.data(); }
  LComplex Bin(const Signal& x, std::size_t k, int sign) const {
    const double* xr = x.re.data();
    const double* xi = x.im.data();
    const long double* cs = cos_.data();
    const long double* sn = sin_.data();
    long double re = 0, im = 0;
    std::size_t t = 0;  // j*k mod n
    for (std::size_t j = 0; j < n_; ++j) {
      const long double c = cs[t], s = sign * sn[t];
      re += xr[j] * c - xi[j] * s;
      im += xr[j] * s + xi[j] * c;
      t += k;
      if (t >= n_) t -= n_;
    }
    const long double scale = sign == 1 ? 1.0L / n_ : 1.0L;
    return {re * scale, im * scale};
  }

 private:
  std::size_t n_;
  std::vector<long double> cos_, sin_;
};

// sqrt(sum |got - want|^2 / sum |want|^2) over the given bins.
double RelativeRms(const Signal& got, const std::vector<LComplex>& want,
                   const std::vector<std::size_t>& bins) {
  long double err = 0, norm = 0;
  for (std::size_t i = 0; i < bins.size(); ++i) {
    const LComplex g(got.re[bins[i]], got.im[bins[i]]);
    err += std::norm(g - want[i]);
    norm += std::norm(want[i]);
  }
  return static_cast<double>(std::sqrt(err / norm));
}

std::vector<std::size_t> AllBins(std::size_t n) {
  std::vector<std::size_t> bins(n);
  for (std::size_t k = 0; k < n; ++k) bins[k] = k;
  return bins;
}

std::vector<std::size_t> SomeBins(std::size_t n, std::size_t count, std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::vector<std::size_t> bins{0, n - 1, n / 2};
  while (bins.size() < count) bins.push_back(gen() % n);
  return bins;
}

double ErrorAgainstDirect(const DirectSum& direct, std::size_t n,
                          const std::vector<std::size_t>& bins, int sign, std::uint64_t seed) {
  const Signal x = Random(n, seed);
  const Signal y = Transform(x, sign);
  std::vector<LComplex> want;
  for (std::size_t k : bins) want.push_back(direct.Bin(x, k, sign));
  return RelativeRms(y, want, bins);
}

// x[j] = sum of amp_t * e^(-2*pi*i*f_t*j/n): with sign 1 the exact transform is amp_t at bin
// f_t and 0 everywhere else, which checks every bin without an O(n^2) reference.
double ErrorOnExponentials(const DirectSum& roots, std::size_t n, std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  std::vector<LComplex> want(n);
  std::vector<long double> xr(n), xi(n);
  const long double* cs = roots.Cos();
  const long double* sn = roots.Sin();
  for (int t = 0; t < 3; ++t) {
    const std::size_t f = gen() % n;
    const long double ar = dist(gen), ai = dist(gen);
    want[f] += LComplex(ar, ai);
    for (std::size_t j = 0, r = 0; j < n; ++j) {  // r = f*j mod n; amp * conj(root)
      xr[j] += ar * cs[r] + ai * sn[r];
      xi[j] += ai * cs[r] - ar * sn[r];
      r += f;
      if (r >= n) r -= n;
    }
  }
  Signal s{std::vector<double>(xr.begin(), xr.end()), std::vector<double>(xi.begin(), xi.end())};
  return RelativeRms(Transform(s, 1), want, AllBins(n));
}

constexpr double kTolerance = 1e-12;

// Every length up to 512 against the full long-double sum (about 4.5e7 terms in all). Above
// that the full sum would cost ~1.4e9 terms for the sweep to 2,048, far too slow under the
// sanitizers, so those lengths are checked on 12 sampled bins of a random signal plus every
// bin of a signal with a known exact transform.
TEST(FourierTransform, MatchesDirectSumForEveryLengthUpTo512) {
  for (std::size_t n = 1; n <= 512; ++n) {
    ASSERT_LE(ErrorAgainstDirect(DirectSum(n), n, AllBins(n), 1, n), kTolerance) << "n = " << n;
  }
}

TEST(FourierTransform, MatchesDirectSumAndExactSpectraUpTo2048) {
  for (std::size_t n = 513; n <= 2048; ++n) {
    const DirectSum direct(n);
    ASSERT_LE(ErrorAgainstDirect(direct, n, SomeBins(n, 12, n), 1, n), kTolerance) << "n = " << n;
    ASSERT_LE(ErrorOnExponentials(direct, n, n), kTolerance) << "n = " << n;
  }
}

TEST(FourierTransform, MatchesDirectSumForMediumLengths) {
  // 4,099 is prime (chirp convolution), 5,000 = 2^3 * 5^4.
  for (std::size_t n : {4099u, 5000u}) {
    EXPECT_LE(ErrorAgainstDirect(DirectSum(n), n, AllBins(n), 1, n), kTolerance) << "n = " << n;
  }
}

// For 65,521 (prime) and 65,536 the full sum is 4e9 terms. Instead: 200 sampled bins of a
// random signal against the long-double sum, every bin of an exactly known spectrum, energy
// conservation (Parseval: sum |x|^2 = n * sum |X|^2 with the 1/n normalisation) and the round
// trip through the opposite sign, which together catch wrong bins, wrong scaling and noise.
TEST(FourierTransform, HoldsAccuracyForLargeLengths) {
  for (std::size_t n : {65521u, 65536u}) {
    const DirectSum direct(n);
    EXPECT_LE(ErrorAgainstDirect(direct, n, SomeBins(n, 200, n), 1, n), kTolerance) << "n = " << n;
    EXPECT_LE(ErrorOnExponentials(direct, n, n + 1), kTolerance) << "n = " << n;

    const Signal x = Random(n, n + 2);
    const Signal y = Transform(x, 1);
    long double energyIn = 0, energyOut = 0;
    for (std::size_t i = 0; i < n; ++i) {
      energyIn += static_cast<long double>(x.re[i]) * x.re[i] + x.im[i] * x.im[i];
      energyOut += static_cast<long double>(y.re[i]) * y.re[i] + y.im[i] * y.im[i];
    }
    EXPECT_NEAR(static_cast<double>(energyOut * n / energyIn), 1.0, 1e-13) << "n = " << n;

    const Signal back = Transform(y, -1);
    std::vector<LComplex> want;
    for (std::size_t i = 0; i < n; ++i) want.emplace_back(x.re[i], x.im[i]);
    EXPECT_LE(RelativeRms(back, want, AllBins(n)), kTolerance) << "n = " << n;
  }
}

TEST(FourierTransform, OtherSignsUseTheUnnormalisedKernel) {
  // Smooth, generic-prime, chirp-convolution and composite-with-large-prime lengths.
  for (std::size_t n : {1u, 2u, 7u, 12u, 77u, 97u, 194u}) {
    for (int sign : {-1, 0, 2, -3, INT_MIN}) {
      EXPECT_LE(ErrorAgainstDirect(DirectSum(n), n, AllBins(n), sign, n * 31 + 7), kTolerance)
          << "n = " << n << ", sign = " << sign;
    }
  }
}

TEST(FourierTransform, OppositeSignReturnsTheInput) {
  for (std::size_t n : {1u, 6u, 64u, 125u, 343u, 1000u, 1021u, 2 * 1031u, 4096u}) {
    const Signal x = Random(n, n);
    const Signal back = Transform(Transform(x, 1), -1);
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_NEAR(back.re[i], x.re[i], 1e-13) << "n = " << n << ", i = " << i;
      ASSERT_NEAR(back.im[i], x.im[i], 1e-13) << "n = " << n << ", i = " << i;
    }
  }
}

TEST(FourierTransform, KnownSmallTransforms) {
  struct Case {
    std::vector<double> re, im, wantRe, wantIm;
  };
  const Case cases[] = {
      {{2.5}, {-1.5}, {2.5}, {-1.5}},                                        // n = 1: identity
      {{1, 0, 0, 0}, {0, 0, 0, 0}, {.25, .25, .25, .25}, {0, 0, 0, 0}},      // impulse
      {{1, 1, 1, 1, 1}, {0, 0, 0, 0, 0}, {1, 0, 0, 0, 0}, {0, 0, 0, 0, 0}},  // constant
      // Positive exponent: e^(-2*pi*i*j/4) = (1, -i, -1, i) lands in bin 1, not bin 3.
      {{1, 0, -1, 0}, {0, -1, 0, 1}, {0, 1, 0, 0}, {0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    const Signal y = Transform({c.re, c.im}, 1);
    for (std::size_t k = 0; k < c.re.size(); ++k) {
      EXPECT_NEAR(y.re[k], c.wantRe[k], 1e-15) << "n = " << c.re.size() << ", k = " << k;
      EXPECT_NEAR(y.im[k], c.wantIm[k], 1e-15) << "n = " << c.re.size() << ", k = " << k;
    }
  }
}

TEST(FourierTransform, RejectsEmptySequence) {
  double re = 7, im = 8, power = 3;
  EXPECT_FALSE(FourierTransform(&re, &im, &re, &im, 0, 1));
  EXPECT_FALSE(FourierTransform(&re, &im, &re, &im, 0, -1));
  EXPECT_FALSE(PowerSpectrum(&re, &im, &power, 0));
  EXPECT_EQ(re, 7);
  EXPECT_EQ(im, 8);
  EXPECT_EQ(power, 3);
}

TEST(FourierTransform, OutputsMayAliasInputs) {
  for (std::size_t n : {1u, 8u, 12u, 97u, 360u}) {  // 97 runs through the chirp convolution
    for (int sign : {1, -1, 3}) {
      const Signal x = Random(n, n + sign);
      const Signal want = Transform(x, sign);

      Signal same = x;  // in place
      ASSERT_TRUE(FourierTransform(same.re.data(), same.im.data(), same.re.data(), same.im.data(),
                                   n, sign));
      EXPECT_EQ(same.re, want.re) << "n = " << n;
      EXPECT_EQ(same.im, want.im) << "n = " << n;

      Signal swapped = x;  // real out over imaginary in and vice versa
      ASSERT_TRUE(FourierTransform(swapped.re.data(), swapped.im.data(), swapped.im.data(),
                                   swapped.re.data(), n, sign));
      EXPECT_EQ(swapped.im, want.re) << "n = " << n;
      EXPECT_EQ(swapped.re, want.im) << "n = " << n;
    }
  }
}

// The threads build the plans of lengths no other test uses, racing for the cache, then
// every result is compared with a serial transform made afterwards.
TEST(FourierTransform, ConcurrentCallsAgreeWithSerialOnes) {
  const std::vector<std::size_t> lengths{6007, 3003, 2 * 3001, 4 * 1531, 7 * 7 * 7 * 16, 2187};
  std::vector<Signal> inputs;
  for (std::size_t n : lengths) inputs.push_back(Random(n, n));
  constexpr int kThreads = 4, kRounds = 6;
  std::vector<std::vector<Signal>> got(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        const std::size_t i = (t + round) % lengths.size();
        got[t].push_back(Transform(inputs[i], round % 2 == 0 ? 1 : -1));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    for (int round = 0; round < kRounds; ++round) {
      const std::size_t i = (t + round) % lengths.size();
      const Signal want = Transform(inputs[i], round % 2 == 0 ? 1 : -1);
      EXPECT_EQ(got[t][round].re, want.re) << "n = " << lengths[i];
      EXPECT_EQ(got[t][round].im, want.im) << "n = " << lengths[i];
    }
  }
}

// The transforms above run the widest passes the processor has; this runs the baseline and
// the wide build of the passes side by side on lengths that use every butterfly and leave
// partial tiles.
TEST(FourierPasses, BaselineAndWideBuildsBothMatchTheDirectSum) {
  for (std::size_t n : {2u, 3u, 4u, 5u, 8u, 12u, 30u, 49u, 60u, 120u, 162u, 250u, 252u, 343u, 384u,
                        29u * 31u, 11u * 13u * 4u, 17u * 19u, 23u * 9u}) {
    for (int dir : {1, -1}) {
      const auto plan = detail::GetPlan(n, dir);
      ASSERT_FALSE(plan->inner) << "n = " << n;
      const Signal x = Random(n, n + dir);
      const DirectSum direct(n);
      std::vector<LComplex> want;
      for (std::size_t k = 0; k < n; ++k)
        want.push_back(direct.Bin(x, k, dir) * (dir == 1 ? n : 1.0L));
      for (auto* passes : {detail::generic::RunStages, detail::wide::RunStages}) {
        Signal y{std::vector<double>(n), std::vector<double>(n)};
        std::vector<double> tr(n), ti(n);
        passes(*plan, x.re.data(), x.im.data(), y.re.data(), y.im.data(), tr.data(), ti.data(),
               1.0);
        EXPECT_LE(RelativeRms(y, want, AllBins(n)), kTolerance) << "n = " << n << ", dir " << dir;
      }
    }
  }
}

TEST(FourierPlan, RepeatedLengthsShareOnePlanAcrossThreads) {
  const auto first = detail::GetPlan(1536, 1);
  EXPECT_EQ(detail::GetPlan(1536, 1), first);
  EXPECT_NE(detail::GetPlan(1536, -1), first);  // the other direction has its own twiddles
  std::shared_ptr<const detail::Plan> fromThread;
  std::thread([&] { fromThread = detail::GetPlan(1536, 1); }).join();
  EXPECT_EQ(fromThread, first);

  // A chirp-convolution plan keeps its inner plan, shared with plain transforms of that size.
  const auto prime = detail::GetPlan(1031, 1);
  ASSERT_TRUE(prime->inner);
  EXPECT_EQ(prime->inner->n, detail::ConvolutionLength(1031));
  EXPECT_EQ(detail::GetPlan(prime->inner->n, 1), prime->inner);
}

TEST(FourierPlan, MemoryKeptAfterAHugePrimeLengthIsBounded) {
  // About 200 MB of plan and scratch while it runs; a long-running host must not keep it.
  const std::size_t n = 1000003;  // prime: chirp convolution
  std::vector<double> re(n, 1.0), im(n, 0.0);
  ASSERT_TRUE(FourierTransform(re.data(), im.data(), re.data(), im.data(), n, 1));
  EXPECT_NEAR(re[0], 1.0, 1e-9);
  EXPECT_LE(detail::CachedPlanBytes(), detail::kMaxCachedPlanBytes);
  EXPECT_LE(detail::KeptScratchBytes(), detail::kMaxKeptScratchBytes);
}

TEST(FourierPlan, ConvolutionLengthIsTheSmallestSmoothLengthThatAvoidsWrapAround) {
  EXPECT_EQ(detail::ConvolutionLength(37), 75u);  // 73 needed: 75 = 3 * 5^2
  EXPECT_EQ(detail::ConvolutionLength(4099), 8640u);
  EXPECT_EQ(detail::ConvolutionLength(65521), 131072u);
  EXPECT_EQ(detail::ConvolutionLength(1), 1u);
}

TEST(CentreSpectrum, RotatesByHalfTheLength) {
  struct Case {
    std::vector<double> in, want;
  };
  const Case cases[] = {
      {{1}, {1}},
      {{1, 2}, {2, 1}},
      {{1, 2, 3, 4}, {3, 4, 1, 2}},
      {{1, 2, 3, 4, 5}, {4, 5, 1, 2, 3}},
  };
  for (const Case& c : cases) {
    const std::size_t n = c.in.size();
    std::vector<double> im(n), reOut(n, -9), imOut(n, -9), negated(n);
    for (std::size_t i = 0; i < n; ++i) im[i] = -c.in[i];
    for (std::size_t i = 0; i < n; ++i) negated[i] = -c.want[i];
    CentreSpectrum(c.in.data(), im.data(), reOut.data(), imOut.data(), n);
    EXPECT_EQ(reOut, c.want);
    EXPECT_EQ(imOut, negated);

    std::vector<double> inPlaceRe = c.in, inPlaceIm = im;
    CentreSpectrum(inPlaceRe.data(), inPlaceIm.data(), inPlaceRe.data(), inPlaceIm.data(), n);
    EXPECT_EQ(inPlaceRe, c.want);
    EXPECT_EQ(inPlaceIm, negated);
  }
}

TEST(PowerSpectrum, CosineGivesTwoCentredPeaksAndLeavesTheTransform) {
  const std::size_t n = 8;
  std::vector<double> re(n), im(n, 0.0), power(n, -1);
  for (std::size_t j = 0; j < n; ++j) re[j] = std::cos(kTwoPi * 2 * j / n);
  const Signal want = Transform({re, im}, 1);
  ASSERT_TRUE(PowerSpectrum(re.data(), im.data(), power.data(), n));
  for (std::size_t i = 0; i < n; ++i)
    EXPECT_NEAR(power[i], (i == 2 || i == 6) ? 0.5 : 0.0, 1e-15) << "i = " << i;
  EXPECT_EQ(re, want.re);
  EXPECT_EQ(im, want.im);
}

TEST(PowerSpectrum, IsTheAmplitudeNotItsSquare) {
  std::vector<double> re{1, 0, 0, 0}, im(4, 0.0), power(4);
  ASSERT_TRUE(PowerSpectrum(re.data(), im.data(), power.data(), 4));
  EXPECT_EQ(power, std::vector<double>(4, 0.25));
  EXPECT_EQ(re, std::vector<double>(4, 0.25));
  EXPECT_EQ(im, std::vector<double>(4, 0.0));
  std::vector<double> over{0, 1, 0, 0, 0, 0}, zeros(6, 0.0);  // power written over re
  ASSERT_TRUE(PowerSpectrum(over.data(), zeros.data(), over.data(), 6));
  EXPECT_EQ(over, std::vector<double>(6, 1.0 / 6));

  // An odd length with a complex input, checked against the centred transform.
  const Signal x = Random(9, 5);
  const Signal y = Transform(x, 1);
  Signal held = x;
  std::vector<double> odd(9);
  ASSERT_TRUE(PowerSpectrum(held.re.data(), held.im.data(), odd.data(), 9));
  for (std::size_t i = 0; i < 9; ++i) {
    const std::size_t from = (i + 9 - 4) % 9;
    EXPECT_DOUBLE_EQ(odd[i], std::hypot(y.re[from], y.im[from])) << "i = " << i;
  }
}

TEST(PeakIndex, FirstStrictMaximumAboveZero) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    std::vector<double> values;
    std::size_t count, want;
  };
  const Case cases[] = {
      {{0, 3, 3, 1}, 4, 1},     {{-1, -5, -0.5}, 3, 0}, {{0, 0, 0}, 3, 0},
      {{nan, 2, nan, 5}, 4, 3}, {{1, 2, 9}, 2, 1},      {{}, 0, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(PeakIndex(c.values.data(), c.count), c.want);
}

}  // namespace
}  // namespace quellar::fourier
