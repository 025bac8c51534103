#pragma once
// Synthetic data sets and independent reference formulas for the fitting tests.
#include <array>
#include <cmath>
#include <functional>
#include <vector>

#include "numerics/models/catalogue.h"

namespace quellar::numerics::test {

// Points 1..n of x and y (index 0 unused).
struct Data {
  Vector x, y;
  int n = 0;
};

inline Data Sample(int n, double dx, const std::function<double(double)>& f, double sigma = 0.0,
                   RandomSeed seed = {17, 29}) {
  Data d{NewVector(n), NewVector(n), n};
  TRandom noise(seed);
  for (int i = 1; i <= n; ++i) {
    d.x[i] = dx * i;
    d.y[i] = f(d.x[i]) + sigma * noise.Normal();
  }
  return d;
}

// A model with its value and gradient written out here, independently of the library.
struct Reference {
  const char* name;
  int model;
  std::vector<double> options;
  int lb, ub;
  std::array<double, 3> truth;
  std::function<double(double, const std::array<double, 3>&)> f;
  std::function<std::array<double, 3>(double, const std::array<double, 3>&)> grad;
};

// sqrt(diag((J^T J)^-1)) at the true parameters over the slots lb..ub: the standard error of
// each parameter for unit noise, which is also the spread of exp(-S/2) that
// Metropolis-Hastings samples.
inline std::array<double, 3> UnitNoiseErrors(const Reference& r, const Data& d) {
  double a[3][3] = {};
  for (int i = 1; i <= d.n; ++i) {
    const auto g = r.grad(d.x[i], r.truth);
    for (int j = r.lb; j <= r.ub; ++j)
      for (int k = r.lb; k <= r.ub; ++k) a[j - r.lb][k - r.lb] += g[j] * g[k];
  }
  const int m = r.ub - r.lb + 1;
  std::array<double, 3> out{};
  if (m == 2) {
    const double det = a[0][0] * a[1][1] - a[0][1] * a[1][0];
    out[r.lb] = std::sqrt(a[1][1] / det);
    out[r.lb + 1] = std::sqrt(a[0][0] / det);
  } else {
    const double c00 = a[1][1] * a[2][2] - a[1][2] * a[2][1];
    const double c11 = a[0][0] * a[2][2] - a[0][2] * a[2][0];
    const double c22 = a[0][0] * a[1][1] - a[0][1] * a[1][0];
    const double det = a[0][0] * c00 - a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                       a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    out[0] = std::sqrt(c00 / det);
    out[1] = std::sqrt(c11 / det);
    out[2] = std::sqrt(c22 / det);
  }
  return out;
}

inline std::vector<Reference> References() {
  using P = std::array<double, 3>;
  return {
      {"Exponential",
       kModelSumOfExponentials,
       {1, 0},
       1,
       2,
       {0, 5, 0.5},
       [](double x, const P& b) { return b[1] * std::exp(-b[2] * x); },
       [](double x, const P& b) {
         return P{0, std::exp(-b[2] * x), -b[1] * x * std::exp(-b[2] * x)};
       }},
      {"ExponentialPlusConstant",
       kModelSumOfExponentials,
       {1, 1},
       0,
       2,
       {2, 5, 0.5},
       [](double x, const P& b) { return b[0] + b[1] * std::exp(-b[2] * x); },
       [](double x, const P& b) {
         return P{1, std::exp(-b[2] * x), -b[1] * x * std::exp(-b[2] * x)};
       }},
      {"Power",
       kModelPower,
       {},
       0,
       1,
       {3, 1.5, 0},
       [](double x, const P& b) { return b[0] * std::pow(x, b[1]); },
       [](double x, const P& b) {
         return P{std::pow(x, b[1]), b[0] * std::pow(x, b[1]) * std::log(x), 0};
       }},
      {"Hill",
       kModelHill,
       {},
       0,
       2,
       {10, 3, 2},
       [](double x, const P& b) { return b[0] / (1 + std::pow(b[1] / x, b[2])); },
       [](double x, const P& b) {
         const double q = std::pow(b[1] / x, b[2]), den = (1 + q) * (1 + q);
         return P{1 / (1 + q), -b[0] * b[2] * q / (b[1] * den),
                  -b[0] * q * std::log(b[1] / x) / den};
       }},
  };
}

}  // namespace quellar::numerics::test
