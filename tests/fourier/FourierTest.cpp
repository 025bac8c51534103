#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

#include "numerics/fourier/fourier.h"
#include "numerics/fourier/fourier_passes.h"
#include "numerics/fourier/fourier_plan.h"

namespace quellar::fourier {
namespace {

using LComplex = std::complex<long double>;
using Sizes = std::vector<std::size_t>;
constexpr long double kHalfPi = 1.570796326794896619231321691639751442L;
constexpr double kTolerance = 1e-12;

struct Signal {
  std::vector<double> re, im;
};

Signal Random(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  Signal s{std::vector<double>(n), std::vector<double>(n)};
  for (std::size_t i = 0; i < n; ++i) s.re[i] = dist(gen), s.im[i] = dist(gen);
  return s;
}

Signal Transform(const Signal& x, int sign) {
  Signal y{std::vector<double>(x.re.size()), std::vector<double>(x.re.size())};
  EXPECT_TRUE(
      FourierTransform(x.re.data(), x.im.data(), y.re.data(), y.im.data(), x.re.size(), sign));
  return y;
}

// The defining sum in extended precision, with exact integer reduction of j*k mod n. Arguments
// are folded into [0, pi/4] by quarter turns and the complement, so the library's sine and
// cosine need no range reduction (slow in long double) and the quarter turns come out exact.
class DirectSum {
 public:
  explicit DirectSum(std::size_t n) : n_(n), cos_(n), sin_(n) {
    for (std::size_t t = 0; t < n; ++t) {
      const std::size_t quarter = 4 * t / n, rest = 4 * t % n;
      const bool low = 2 * rest <= n;
      const long double a = kHalfPi * (low ? rest : n - rest) / n;
      const long double c = low ? std::cos(a) : std::sin(a), s = low ? std::sin(a) : std::cos(a);
      const long double rc[4] = {c, -s, -c, s}, rs[4] = {s, c, -s, -c};
      cos_[t] = rc[quarter], sin_[t] = rs[quarter];
    }
  }
  LComplex Bin(const Signal& x, std::size_t k, int sign) const {
    // Raw pointers: this runs ~1e8 times per test run, also unoptimised.
    const double *xr = x.re.data(), *xi = x.im.data();
    const long double *cs = cos_.data(), *sn = sin_.data();
    long double re = 0, im = 0;
    for (std::size_t j = 0, t = 0; j < n_; ++j) {  // t = j*k mod n
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
double RelativeRms(const Signal& got, const std::vector<LComplex>& want, const Sizes& bins) {
  long double err = 0, norm = 0;
  for (std::size_t i = 0; i < bins.size(); ++i) {
    err += std::norm(LComplex(got.re[bins[i]], got.im[bins[i]]) - want[i]);
    norm += std::norm(want[i]);
  }
  return static_cast<double>(std::sqrt(err / norm));
}

Sizes Range(std::size_t from, std::size_t to) {
  Sizes out(to - from + 1);
  std::iota(out.begin(), out.end(), from);
  return out;
}

// count = 0: every bin; else the first, last and middle bins and random others.
Sizes Bins(std::size_t n, std::size_t count, std::uint64_t seed) {
  if (count == 0) return Range(0, n - 1);
  std::mt19937_64 gen(seed);
  Sizes bins{0, n - 1, n / 2};
  while (bins.size() < count) bins.push_back(gen() % n);
  return bins;
}

// The relative RMS error of the transform of a random signal over the given bins. The same
// transform in place, and with real and imaginary outputs swapped, must agree exactly.
double ErrorAgainstDirect(const DirectSum& direct, std::size_t n, const Sizes& bins, int sign,
                          std::uint64_t seed) {
  const Signal x = Random(n, seed), y = Transform(x, sign);
  Signal same = x, swapped = x;
  EXPECT_TRUE(
      FourierTransform(same.re.data(), same.im.data(), same.re.data(), same.im.data(), n, sign));
  EXPECT_TRUE(FourierTransform(swapped.re.data(), swapped.im.data(), swapped.im.data(),
                               swapped.re.data(), n, sign));
  EXPECT_TRUE(same.re == y.re && same.im == y.im && swapped.im == y.re && swapped.re == y.im);
  std::vector<LComplex> want;
  for (std::size_t k : bins) want.push_back(direct.Bin(x, k, sign));
  return RelativeRms(y, want, bins);
}

// Every length up to 512 against the full long-double sum. Longer lengths would cost ~1e9
// terms, far too slow under the sanitizers, so most of them are checked on sampled bins. Signs
// other than 1 use the unnormalised kernel; 4,099, 65,521 and the small primes run the chirp
// convolution (97 among them).
TEST(FourierTransform, MatchesTheDirectSumAtEveryKindOfLength) {
  struct Case {
    Sizes lengths;
    std::vector<int> signs;
    std::size_t bins;  // 0: all
  };
  const Case cases[] = {
      {Range(1, 512), {1}, 0},        {Range(513, 2048), {1}, 24},
      {{4099, 5000}, {1}, 0},  // 5,000 = 2^3 * 5^4
      {{65521, 65536}, {1, -1}, 200}, {{1, 2, 7, 12, 77, 97, 194}, {-1, 0, 2, -3, INT_MIN}, 0},
  };
  for (const Case& c : cases) {
    for (std::size_t n : c.lengths) {
      const DirectSum direct(n);
      for (int sign : c.signs) {
        SCOPED_TRACE(testing::Message() << "n = " << n << ", sign = " << sign);
        ASSERT_LE(ErrorAgainstDirect(direct, n, Bins(n, c.bins, n), sign, n + sign), kTolerance);
      }
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

// The threads build the plans of lengths no other test uses, racing for the cache, then
// every result is compared with a serial transform made afterwards.
TEST(FourierTransform, ConcurrentCallsAgreeWithSerialOnes) {
  const Sizes lengths{6007, 3003, 2 * 3001, 4 * 1531, 7 * 7 * 7 * 16, 2187};
  constexpr int kThreads = 4, kRounds = 3;
  std::vector<std::vector<Signal>> got(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        const std::size_t n = lengths[(t + round) % lengths.size()];
        got[t].push_back(Transform(Random(n, n), round % 2 == 0 ? 1 : -1));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    for (int round = 0; round < kRounds; ++round) {
      const std::size_t n = lengths[(t + round) % lengths.size()];
      const Signal want = Transform(Random(n, n), round % 2 == 0 ? 1 : -1);
      EXPECT_EQ(got[t][round].re, want.re) << "n = " << n;
      EXPECT_EQ(got[t][round].im, want.im) << "n = " << n;
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
        EXPECT_LE(RelativeRms(y, want, Bins(n, 0, 0)), kTolerance) << "n = " << n << ", " << dir;
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
  // A chirp-convolution plan keeps its inner plan, shared with plain transforms of that size,
  // the smallest smooth length that avoids wrap-around.
  const auto prime = detail::GetPlan(1031, 1);
  ASSERT_TRUE(prime->inner);
  EXPECT_EQ(prime->inner->n, detail::ConvolutionLength(1031));
  EXPECT_EQ(detail::GetPlan(prime->inner->n, 1), prime->inner);
  EXPECT_EQ(detail::ConvolutionLength(37), 75u);  // 73 needed: 75 = 3 * 5^2
  EXPECT_EQ(detail::ConvolutionLength(4099), 8640u);
  EXPECT_EQ(detail::ConvolutionLength(65521), 131072u);
  EXPECT_EQ(detail::ConvolutionLength(1), 1u);
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

TEST(CentreSpectrum, RotatesByHalfTheLength) {
  const std::vector<double> cases[][2] = {{{1}, {1}},
                                          {{1, 2}, {2, 1}},
                                          {{1, 2, 3, 4}, {3, 4, 1, 2}},
                                          {{1, 2, 3, 4, 5}, {4, 5, 1, 2, 3}}};
  for (const auto& [in, want] : cases) {
    const std::size_t n = in.size();
    std::vector<double> im(n), reOut(n, -9), imOut(n, -9), negated(n);
    for (std::size_t i = 0; i < n; ++i) im[i] = -in[i], negated[i] = -want[i];
    CentreSpectrum(in.data(), im.data(), reOut.data(), imOut.data(), n);
    EXPECT_EQ(reOut, want);
    EXPECT_EQ(imOut, negated);
    std::vector<double> inPlaceRe = in, inPlaceIm = im;
    CentreSpectrum(inPlaceRe.data(), inPlaceIm.data(), inPlaceRe.data(), inPlaceIm.data(), n);
    EXPECT_EQ(inPlaceRe, want);
    EXPECT_EQ(inPlaceIm, negated);
  }
}

TEST(PowerSpectrum, CentredAmplitudeAndTheTransformLeftInPlace) {
  const Signal x = Random(9, 5), y = Transform(x, 1);
  Signal held = x;
  std::vector<double> power(9);
  ASSERT_TRUE(PowerSpectrum(held.re.data(), held.im.data(), power.data(), 9));
  for (std::size_t i = 0; i < 9; ++i)  // the amplitude, not its square
    EXPECT_DOUBLE_EQ(power[i], std::hypot(y.re[(i + 5) % 9], y.im[(i + 5) % 9])) << "i = " << i;
  EXPECT_EQ(held.re, y.re);
  EXPECT_EQ(held.im, y.im);
  std::vector<double> over{0, 1, 0, 0, 0, 0}, zeros(6, 0.0);  // power written over re
  ASSERT_TRUE(PowerSpectrum(over.data(), zeros.data(), over.data(), 6));
  EXPECT_EQ(over, std::vector<double>(6, 1.0 / 6));
}

TEST(PeakIndex, FirstStrictMaximumAboveZero) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    std::vector<double> values;
    std::size_t count, want;
  } cases[] = {
      {{0, 3, 3, 1}, 4, 1},     {{-1, -5, -0.5}, 3, 0}, {{0, 0, 0}, 3, 0},
      {{nan, 2, nan, 5}, 4, 3}, {{1, 2, 9}, 2, 1},      {{}, 0, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(PeakIndex(c.values.data(), c.count), c.want);
}

}  // namespace
}  // namespace quellar::fourier
