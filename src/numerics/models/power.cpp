#include <cmath>

#include "numerics/models/estimates.h"

namespace quellar::numerics::models {

double PowerModel(double x, std::span<const double> b) {
  return b[0] * Power(x, b[1]);
}

void PowerDerivative(double x, double, std::span<const double> b, std::span<double> d) {
  const double p = Power(x, b[1]);
  d[0] = p;
  d[1] = x > 0 ? b[0] * p * std::log(x) : 0.0;
}

void PowerSweep(std::span<const double> x, std::span<const double> b, std::span<double> y,
                std::span<double> d, std::size_t width) {
  SweepPoints(PowerModel, PowerDerivative, x, b, y, d, width);
}

FitResult EstimatePower(std::span<const double> x, std::span<const double> y, int n,
                        std::span<double> b) {
  // ln y = ln b0 + b1 ln x, weighted by y^2 to undo the log's stretching of small values.
  Vector lx, ly, w;
  for (int i = 1; i <= n; ++i) {
    if (!(x[i] > 0 && y[i] > 0)) continue;
    lx.push_back(std::log(x[i]));
    ly.push_back(std::log(y[i]));
    w.push_back(y[i] * y[i]);
  }
  Line line;
  const FitResult code = FitLine(lx, ly, w, true, line);
  if (code != kFitOk) return code;
  b[0] = Exp(line.a0);
  b[1] = line.a1;
  return kFitOk;
}

}  // namespace quellar::numerics::models
