#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <complex>
#include <cstdint>
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

// The defining sum in long double, j*k reduced mod n exactly, angles folded into [0, pi/4].
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

// sqrt(sum |got - want|^2 / sum |want|^2) over the given bins, want the direct sum of x.
double RelativeRms(const Signal& got, const Signal& x, const Sizes& bins, int sign) {
  const DirectSum direct(x.re.size());
  long double err = 0, norm = 0;
  for (std::size_t k : bins) {
    const LComplex want = direct.Bin(x, k, sign);
    err += std::norm(LComplex(got.re[k], got.im[k]) - want);
    norm += std::norm(want);
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

// Every length up to 512 against every bin, longer ones on sampled bins; signs other than 1
// are unnormalised, primes run the chirp convolution. In place and swapped outputs agree exactly.
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
      for (int sign : c.signs) {
        SCOPED_TRACE(testing::Message() << "n = " << n << ", sign = " << sign);
        const Signal x = Random(n, n + sign), y = Transform(x, sign);
        Signal same = x, swapped = x;
        ASSERT_TRUE(FourierTransform(same.re.data(), same.im.data(), same.re.data(), same.im.data(),
                                     n, sign));
        ASSERT_TRUE(FourierTransform(swapped.re.data(), swapped.im.data(), swapped.im.data(),
                                     swapped.re.data(), n, sign));
        ASSERT_TRUE(same.re == y.re && same.im == y.im && swapped.im == y.re && swapped.re == y.im);
        const Sizes bins = Bins(n, c.bins, n);
        ASSERT_LE(RelativeRms(y, x, bins, sign), 1e-12);
      }
    }
  }
  double re = 7, im = 8, power = 3;  // an empty sequence is refused, nothing written
  EXPECT_FALSE(FourierTransform(&re, &im, &re, &im, 0, 1));
  EXPECT_FALSE(PowerSpectrum(&re, &im, &power, 0));
  EXPECT_TRUE(re == 7 && im == 8 && power == 3);
}

// Threads race to build fresh plans; results equal serial ones and repeated lengths share a plan.
TEST(FourierPlan, SharedAcrossThreadsAndRacedForSafely) {
  const Sizes lengths{6007, 3003, 6007, 3003, 7 * 7 * 7 * 16, 2187, 2187, 4 * 1531};
  std::vector<Signal> got(lengths.size());
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < lengths.size(); ++t)
    threads.emplace_back([&, t] { got[t] = Transform(Random(lengths[t], t), t % 2 ? -1 : 1); });
  for (auto& thread : threads) thread.join();
  for (std::size_t t = 0; t < lengths.size(); ++t) {
    const Signal want = Transform(Random(lengths[t], t), t % 2 ? -1 : 1);
    EXPECT_TRUE(got[t].re == want.re && got[t].im == want.im) << "n = " << lengths[t];
  }
  const auto first = detail::GetPlan(1536, 1);
  EXPECT_NE(detail::GetPlan(1536, -1), first);  // the other direction has its own twiddles
  std::shared_ptr<const detail::Plan> fromThread;
  std::thread([&] { fromThread = detail::GetPlan(1536, 1); }).join();
  EXPECT_EQ(fromThread, first);
  // A chirp plan shares its inner plan, the smallest smooth length without wrap-around.
  const auto prime = detail::GetPlan(1031, 1);
  ASSERT_TRUE(prime->inner);
  EXPECT_EQ(detail::GetPlan(prime->inner->n, 1), prime->inner);
  EXPECT_EQ(prime->inner->n, detail::ConvolutionLength(1031));
  for (const auto& [n, m] :
       {std::pair<std::size_t, std::size_t>{37, 75}, {4099, 8640}, {65521, 131072}, {1, 1}})
    EXPECT_EQ(detail::ConvolutionLength(n), m) << n;  // 37: 73 needed, 75 = 3 * 5^2
}

// The baseline passes, which the Windows builds run, agree with the ones this processor runs,
// at every smooth length up to 1,100 and at the long ones of the benchmark.
TEST(FourierPlan, BaselinePassesAgreeWithTheWideOnes) {
  Sizes lengths = Range(2, 1100);
  lengths.insert(lengths.end(), {4096, 5000, 16384, 65536});
  for (std::size_t n : lengths) {
    const auto plan = detail::GetPlan(n, n % 2 ? 1 : -1);
    if (plan->inner) continue;
    const Signal x = Random(n, n);
    Signal base = x, wide = x;
    std::vector<double> t(2 * n);
    detail::generic::RunStages(*plan, x.re.data(), x.im.data(), base.re.data(), base.im.data(),
                               t.data(), t.data() + n, 0.5);
    detail::wide::RunStages(*plan, x.re.data(), x.im.data(), wide.re.data(), wide.im.data(),
                            t.data(), t.data() + n, 0.5);
    double diff = 0, norm = 0;
    for (std::size_t i = 0; i < n; ++i) {
      diff += std::norm(std::complex<double>(base.re[i] - wide.re[i], base.im[i] - wide.im[i]));
      norm += std::norm(std::complex<double>(wide.re[i], wide.im[i]));
    }
    ASSERT_LE(std::sqrt(diff / norm), 1e-14) << "n = " << n;
  }
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

TEST(CentreSpectrum, RotatesByHalfTheLengthAlsoInPlace) {
  std::vector<double> re{1, 2, 3, 4, 5}, im{-1, -2, -3, -4, -5}, reOut(5), imOut(5);
  const std::vector<double> want{4, 5, 1, 2, 3}, negated{-4, -5, -1, -2, -3};
  CentreSpectrum(re.data(), im.data(), reOut.data(), imOut.data(), 5);
  EXPECT_TRUE(reOut == want && imOut == negated);
  CentreSpectrum(re.data(), im.data(), re.data(), im.data(), 5);
  EXPECT_TRUE(re == want && im == negated);
}

TEST(PowerSpectrum, CentredAmplitudeAndTheTransformLeftInPlace) {
  const Signal x = Random(9, 5), y = Transform(x, 1);
  Signal held = x;
  std::vector<double> power(9);
  ASSERT_TRUE(PowerSpectrum(held.re.data(), held.im.data(), power.data(), 9));
  for (std::size_t i = 0; i < 9; ++i)  // the amplitude, not its square
    EXPECT_DOUBLE_EQ(power[i], std::hypot(y.re[(i + 5) % 9], y.im[(i + 5) % 9])) << "i = " << i;
  EXPECT_TRUE(held.re == y.re && held.im == y.im);
  std::vector<double> over{0, 1, 0, 0, 0, 0}, zeros(6, 0.0);  // power written over re
  ASSERT_TRUE(PowerSpectrum(over.data(), zeros.data(), over.data(), 6));
  EXPECT_EQ(over, std::vector<double>(6, 1.0 / 6));
}

TEST(PeakIndex, FirstStrictMaximumAboveZero) {
  const double nan = std::nan("");
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
