#pragma once
#include <cmath>
#include <functional>

#include "numerics/models/catalogue.h"
#include "numerics/random.h"

namespace quellar::numerics::test {

// Points 1..n of x and y (index 0 unused).
struct Data {
  Vector x, y;
  int n = 0;
};

inline Data Sample(int n, double dx, const std::function<double(double)>& f, double sigma = 0.0) {
  Data d{NewVector(n), NewVector(n), n};
  TRandom noise({17, 29});
  for (int i = 1; i <= n; ++i) {
    d.x[i] = dx * i;
    d.y[i] = f(d.x[i]) + sigma * noise.Normal();
  }
  return d;
}

inline Data Points(std::initializer_list<std::pair<double, double>> pts) {
  Data d{NewVector(int(pts.size())), NewVector(int(pts.size())), int(pts.size())};
  int i = 1;
  for (auto [x, y] : pts) d.x[i] = x, d.y[i] = y, ++i;
  return d;
}

// Slots 0..ub of a model over the points of d.
inline FitProblem Problem(ModelFunction model, DerivativeProcedure derivative, const Data& d,
                          int ub, const Vector& lower, const Vector& upper) {
  FitProblem p;
  p.model = std::move(model), p.derivative = std::move(derivative);
  p.x = d.x, p.y = d.y, p.n = d.n, p.lb = 0, p.ub = ub, p.lower = lower, p.upper = upper;
  return p;
}

}  // namespace quellar::numerics::test
