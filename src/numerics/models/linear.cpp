#include <cmath>

#include "numerics/models/estimates.h"

namespace quellar::numerics::models {

FitResult FitLine(std::span<const double> xs, std::span<const double> ys,
                  std::span<const double> ws, bool intercept, Line& line, Matrix* cov) {
  double sw = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (size_t i = 0; i < xs.size(); ++i) {
    const double w = ws.empty() ? 1.0 : ws[i];
    sw += w;
    sx += w * xs[i];
    sy += w * ys[i];
    sxx += w * xs[i] * xs[i];
    sxy += w * xs[i] * ys[i];
  }
  if (!intercept) {
    if (!(sxx > 0)) return kFitSingular;
    line = {0.0, sxy / sxx};
    return kFitOk;
  }
  const double d = sw * sxx - sx * sx;
  // Equal abscissas leave only rounding noise in d; treat that as the singular case it is.
  if (!(d > 8.0 * kMachineEpsilon * sw * sxx)) return kFitSingular;
  const double v00 = sxx / d, v01 = -sx / d, v11 = sw / d;
  line = {v00 * sy + v01 * sxy, v01 * sy + v11 * sxy};
  if (cov) {
    EnsureSquare(*cov, 1);
    (*cov)[0][0] = v00;
    (*cov)[0][1] = (*cov)[1][0] = v01;
    (*cov)[1][1] = v11;
  }
  return kFitOk;
}

double LinearModel(double x, std::span<const double> b) {
  return b[0] + b[1] * x;
}

void LinearDerivative(double x, double, std::span<const double>, std::span<double> d) {
  d[0] = 1.0;
  d[1] = x;
}

void LinearSweep(std::span<const double> x, std::span<const double> b, std::span<double> y,
                 std::span<double> d, std::size_t width) {
  SweepPoints(LinearModel, LinearDerivative, x, b, y, d, width);
}

FitResult EstimateLinear(std::span<const double> x, std::span<const double> y, int n,
                         std::span<double> b, Matrix& v) {
  Line line;
  const FitResult code = FitLine(x.subspan(1, n), y.subspan(1, n), {}, true, line, &v);
  if (code != kFitOk) return code;
  b[0] = line.a0;
  b[1] = line.a1;
  return kFitOk;
}

}  // namespace quellar::numerics::models
