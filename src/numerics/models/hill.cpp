#include <algorithm>
#include <cmath>

#include "numerics/models/estimates.h"

namespace quellar::numerics::models {

double HillModel(double x, std::span<const double> b) {
  if (x == 0.0) return b[2] <= 0 ? b[0] : 0.0;
  return b[0] / (1.0 + Power(b[1] / x, b[2]));
}

void HillDerivative(double x, double, std::span<const double> b, std::span<double> d) {
  if (x == 0.0) {
    d[0] = b[2] <= 0 ? 1.0 : 0.0;
    d[1] = d[2] = 0.0;
    return;
  }
  const double ratio = b[1] / x;
  const double q = Power(ratio, b[2]);
  const double den = 1.0 + q;
  d[0] = 1.0 / den;
  d[1] = b[1] != 0.0 ? -b[0] * b[2] * q / (b[1] * den * den) : 0.0;
  d[2] = ratio > 0 ? -b[0] * q * std::log(ratio) / (den * den) : 0.0;
}

void HillSweep(std::span<const double> x, std::span<const double> b, std::span<double> y,
               std::span<double> d, std::size_t width) {
  SweepPoints(HillModel, HillDerivative, x, b, y, d, width);
}

FitResult EstimateHill(std::span<const double> x, std::span<const double> y, int n,
                       std::span<double> b) {
  if (n < 1) return kFitSingular;
  const double ymax = *std::max_element(y.begin() + 1, y.begin() + n + 1);
  // ln(Ymax/y - 1) = b2 ln b1 - b2 ln x; the points at the maximum have no logarithm.
  Vector lx, lz, w;
  for (int i = 1; i <= n; ++i) {
    if (!(x[i] > 0 && y[i] > 0 && y[i] < ymax)) continue;
    lx.push_back(std::log(x[i]));
    lz.push_back(std::log(ymax / y[i] - 1.0));
    const double r = (1.0 - y[i] / ymax) * y[i];
    w.push_back(r * r);
  }
  Line line;
  const FitResult code = FitLine(lx, lz, w, true, line);
  if (code != kFitOk) return code;
  if (line.a1 == 0.0) return kFitSingular;
  b[0] = ymax;
  b[1] = Exp(-line.a0 / line.a1);
  b[2] = -line.a1;
  return kFitOk;
}

}  // namespace quellar::numerics::models
