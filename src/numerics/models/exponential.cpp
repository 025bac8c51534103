#include <algorithm>
#include <cmath>

#include "numerics/models/estimates.h"

namespace quellar::numerics::models {

double ExponentialModel(double x, std::span<const double> b, int count, bool constant) {
  double y = constant ? b[0] : 0.0;
  for (int k = 1; k <= count; ++k) y += b[2 * k - 1] * Exp(-b[2 * k] * x);
  return y;
}

void ExponentialDerivative(double x, std::span<const double> b, std::span<double> d, int count,
                           bool constant) {
  if (constant) d[0] = 1.0;
  for (int k = 1; k <= count; ++k) {
    const double e = Exp(-b[2 * k] * x);
    d[2 * k - 1] = e;
    d[2 * k] = -b[2 * k - 1] * x * e;
  }
}

void ExponentialSweep(std::span<const double> x, std::span<const double> b, std::span<double> y,
                      std::span<double> d, std::size_t width, int count, bool constant) {
  for (std::size_t i = 0; i < x.size(); ++i) {
    double* row = d.empty() ? nullptr : d.data() + i * width;
    double value = constant ? b[0] : 0.0;
    if (row && constant) row[0] = 1.0;
    for (int k = 1; k <= count; ++k) {
      const double e = Exp(-b[2 * k] * x[i]);
      value += b[2 * k - 1] * e;
      if (row) {
        row[2 * k - 1] = e;
        row[2 * k] = -b[2 * k - 1] * x[i] * e;
      }
    }
    y[i] = value;
  }
}

FitResult EstimateExponential(std::span<const double> x, std::span<const double> y, int n,
                              bool constant, std::span<double> b) {
  if (n < 1) return kFitSingular;
  // Shift the origin to the first point; the amplitude is moved back to x = 0 at the end.
  const double origin = x[1];
  Vector xs(n), ys(n), integral(n, 0.0);
  double base = 0.0;
  if (constant) base = 0.9 * *std::min_element(y.begin() + 1, y.begin() + n + 1);
  for (int i = 0; i < n; ++i) {
    xs[i] = x[i + 1] - origin;
    ys[i] = y[i + 1] - base;
  }
  // y' = A - k * integral of y' from the first point: a straight line in the running integral.
  for (int i = 1; i < n; ++i)
    integral[i] = integral[i - 1] + (xs[i] - xs[i - 1]) * (ys[i] + ys[i - 1]) / 2.0;
  Line line;
  FitResult code = FitLine(integral, ys, {}, true, line);
  if (code != kFitOk) return code;
  // The root of the first-degree characteristic polynomial z + a1.
  const double rate = -line.a1;
  if (!std::isfinite(rate)) return kFitDampingLimit;
  Vector decay(n);
  for (int i = 0; i < n; ++i) decay[i] = Exp(-rate * xs[i]);
  code = FitLine(decay, ys, {}, false, line);
  if (code != kFitOk) return code;
  double amplitude = line.a1;
  if (origin != 0.0) amplitude *= Exp(rate * origin);
  if (constant) b[0] = base;
  b[1] = amplitude;
  b[2] = rate;
  return kFitOk;
}

}  // namespace quellar::numerics::models
