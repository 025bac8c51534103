#include "numerics/fmath.h"

#include <cmath>
#include <numbers>

namespace quellar::numerics {

namespace {
thread_local unsigned gMathErrors = 0;

// Clips an overflowing result to kHugeValue of the right sign.
double Clip(double v) {
  if (std::isinf(v)) {
    gMathErrors |= kMathOverflow;
    return v > 0 ? kHugeValue : -kHugeValue;
  }
  return v;
}

double IntegerPower(double x, int64_t e) {
  uint64_t k = e < 0 ? static_cast<uint64_t>(-e) : static_cast<uint64_t>(e);
  double result = 1.0;
  double square = x;
  while (k != 0) {
    if (k & 1) result *= square;
    k >>= 1;
    if (k != 0) square *= square;
  }
  if (e < 0) {
    if (result == 0.0) {
      gMathErrors |= kMathOverflow;
      return kHugeValue;
    }
    result = 1.0 / result;
  }
  return Clip(result);
}

// ln Gamma(x) for x > 0 by the Lanczos series (g = 7, nine terms; about 15 digits). The C
// library's lgamma writes the global signgam, which two fits on two threads would race on.
double LogGamma(double x) {
  static constexpr double kC[9] = {
      0.99999999999980993,  676.5203681218851,     -1259.1392167224028,
      771.32342877765313,   -176.61502916214059,   12.507343278686905,
      -0.13857109526572012, 9.9843695780195716e-6, 1.5056327351493116e-7};
  if (x < 0.5) return std::log(std::numbers::pi / std::sin(std::numbers::pi * x)) - LogGamma(1 - x);
  x -= 1.0;
  double a = kC[0];
  const double t = x + 7.5;
  for (int i = 1; i < 9; ++i) a += kC[i] / (x + i);
  return 0.5 * std::log(2 * std::numbers::pi) + (x + 0.5) * std::log(t) - t + std::log(a);
}

// Continued fraction of the incomplete beta function (modified Lentz).
double BetaFraction(double a, double b, double x) {
  constexpr double kTiny = 1e-300;
  constexpr int kMaxTerms = 300;
  const double qab = a + b, qap = a + 1.0, qam = a - 1.0;
  double c = 1.0;
  double d = 1.0 - qab * x / qap;
  if (std::fabs(d) < kTiny) d = kTiny;
  d = 1.0 / d;
  double h = d;
  for (int m = 1; m <= kMaxTerms; ++m) {
    const int m2 = 2 * m;
    double aa = m * (b - m) * x / ((qam + m2) * (a + m2));
    d = 1.0 + aa * d;
    if (std::fabs(d) < kTiny) d = kTiny;
    c = 1.0 + aa / c;
    if (std::fabs(c) < kTiny) c = kTiny;
    d = 1.0 / d;
    h *= d * c;
    aa = -(a + m) * (qab + m) * x / ((a + m2) * (qap + m2));
    d = 1.0 + aa * d;
    if (std::fabs(d) < kTiny) d = kTiny;
    c = 1.0 + aa / c;
    if (std::fabs(c) < kTiny) c = kTiny;
    d = 1.0 / d;
    const double del = d * c;
    h *= del;
    if (std::fabs(del - 1.0) < 1e-15) break;
  }
  return h;
}
}  // namespace

unsigned MathErrors() {
  return gMathErrors;
}
void ClearMathErrors() {
  gMathErrors = 0;
}

void RaiseMathError(MathError error) {
  gMathErrors |= error;
}

double Power(double x, double e) {
  if (std::floor(e) == e && std::fabs(e) <= 2147483647.0) {
    return IntegerPower(x, static_cast<int64_t>(e));
  }
  if (x > 0) {
    const double l = e * std::log(x);
    if (l > kLogMax) {
      gMathErrors |= kMathOverflow;
      return kHugeValue;
    }
    if (l < kLogMin) {
      gMathErrors |= kMathUnderflow;
      return 0.0;
    }
    return std::exp(l);
  }
  gMathErrors |= kMathDomain;
  return 0.0;
}

double IncompleteBeta(double a, double b, double x) {
  if (!(x > 0)) return 0.0;
  if (!(x < 1)) return 1.0;
  const double front =
      std::exp(LogGamma(a + b) - LogGamma(a) - LogGamma(b) + a * std::log(x) + b * std::log1p(-x));
  // The fraction converges fast on the side of the mean; use the symmetry on the other.
  if (x < (a + 1.0) / (a + b + 2.0)) return front * BetaFraction(a, b, x) / a;
  return 1.0 - front * BetaFraction(b, a, 1.0 - x) / b;
}

}  // namespace quellar::numerics
