#pragma once
// The benchmark's data: 5,000 points of a noisy decay y = 5 exp(-0.5 x) on 0 < x <= 10.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "numerics/models/catalogue.h"

namespace quellar::numerics::bench {

inline constexpr int kPoints = 5000;

struct Decay {
  Vector x = NewVector(kPoints), y = NewVector(kPoints);
  // The caller's output arrays, made once like GSL's workspace.
  Vector yhat = NewVector(kPoints), s = NewVector(kPoints);
  Decay() {
    TRandom noise({123, 456});
    for (int i = 1; i <= kPoints; ++i) {
      x[i] = 10.0 * i / kPoints;
      y[i] = 5.0 * std::exp(-0.5 * x[i]) + 0.05 * noise.Normal();
    }
  }
};

// Sum of squared residuals of A exp(-k x).
inline double SumOfSquares(const Decay& d, double a, double k) {
  double s = 0;
  for (int i = 1; i <= kPoints; ++i) {
    const double r = d.y[i] - a * std::exp(-k * d.x[i]);
    s += r * r;
  }
  return s;
}

// The sum of squares to 12 digits (a counter would show 6), for comparing the two fits.
inline std::string SsrLabel(double ssr) {
  char text[40];
  std::snprintf(text, sizeof text, "ssr=%.12g", ssr);
  return text;
}

// Runs the catalogue's exponential regression over slots 1..2 of b. maxIter 0 gives the
// model's own estimate alone; estimate false refines the given b.
inline int FitDecay(Decay& d, bool estimate, int maxIter, Vector& b,
                    FitSummary* summary = nullptr) {
  const Vector lower(3, -1e6), upper(3, 1e6);
  const std::vector<double> options{1, 0};
  CatalogueFit fit;
  fit.model = kModelSumOfExponentials;
  fit.options = options;
  fit.x = d.x, fit.y = d.y, fit.n = kPoints, fit.lower = lower, fit.upper = upper;
  fit.estimate = estimate;
  fit.maxIter = maxIter;
  Matrix v;
  RegressionStats stats;
  return FitCatalogueModel(fit, b, v, d.yhat, d.s, stats, {kMethodMarquardt, {}}, summary);
}

// The start both refinements get: the exponential's own estimate.
inline Vector Estimate(Decay& d) {
  Vector b(3, 0.0);
  FitDecay(d, true, 0, b);
  return b;
}

}  // namespace quellar::numerics::bench
