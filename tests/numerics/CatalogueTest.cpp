#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "FitData.h"
#include "numerics/fmath.h"
#include "numerics/matrices.h"

namespace quellar::numerics {
namespace {

using test::Data;
using test::Points;

struct Call {
  int model;
  std::vector<double> options = {};
  int maxIter = 1000;  // 0: estimate only
  int varianceModel = 0;
  std::vector<double> theta = {};
  Vector b = Vector(3, 0.0);
  bool estimate = true;
  Vector lower = Vector(8, -1e6), upper = Vector(8, 1e6);
};

struct FitRun {
  int code = 0;
  Vector b;
  Matrix v;
  Vector yhat, s;  // -1 where not written
  RegressionStats stats;
};

FitRun Fit(const Call& c, const Data& d, FitSettings settings = {kMethodMarquardt, {}}) {
  CatalogueFit fit;
  fit.model = c.model, fit.options = c.options, fit.varianceModel = c.varianceModel;
  fit.theta = c.theta, fit.estimate = c.estimate, fit.maxIter = c.maxIter;
  fit.lower = c.lower, fit.upper = c.upper, fit.x = d.x, fit.y = d.y, fit.n = d.n;
  FitRun r{0, c.b, {}, Vector(d.n + 1, -1.0), Vector(d.n + 1, -1.0), {}};
  r.code = FitCatalogueModel(fit, r.b, r.v, r.yhat, r.s, r.stats, settings);
  return r;
}

TEST(ModelCatalogue, SlotsValuesAndDerivativesOfTheImplementedModels) {
  struct Case {
    int model;
    std::vector<double> options;
    int lb, ub;
    Vector b;
    double x, y;
  };
  const Case cases[] = {
      {kModelLinear, {}, 0, 1, {1, 2, 0}, 3, 7},
      {kModelSumOfExponentials, {1, 0}, 1, 2, {99, 5, 0.5}, 2, 5 * std::exp(-1.0)},
      {kModelSumOfExponentials, {1, 1}, 0, 2, {2, 5, 0.5}, 2, 2 + 5 * std::exp(-1.0)},
      {kModelSumOfExponentials, {0.4, 1}, 0, 2, {2, 5, 0.5}, 0, 7},  // count 0 -> 1
      {kModelSumOfExponentials, {2, 1}, 0, 4, {1, 5, 0.5, 2, 3}, 0, 8},
      {kModelPower, {}, 0, 1, {3, 1.5, 0}, 4, 24},
      {kModelHill, {}, 0, 2, {10, 3, 2}, 3, 5},
      {kModelHill, {}, 0, 2, {10, 3, 2}, 0, 0},    // x = 0 with a positive exponent
      {kModelHill, {}, 0, 2, {10, 3, -1}, 0, 10},  // x = 0 with a non-positive exponent
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << kModelNames[c.model] << " at " << c.x);
    ModelEntry entry;
    ASSERT_EQ(kFitOk, DescribeModel(c.model, c.options, entry));
    EXPECT_EQ(c.lb, entry.lb);
    EXPECT_EQ(c.ub, entry.ub);
    EXPECT_DOUBLE_EQ(c.y, entry.model(c.x, c.b));
    Vector d(c.b.size(), 0.0);
    entry.derivative(c.x, entry.model(c.x, c.b), c.b, d);
    for (int j = entry.lb; j <= entry.ub; ++j) {
      Vector up = c.b, down = c.b;
      const double h = 1e-6 * std::max(1.0, std::fabs(c.b[j]));
      up[j] += h, down[j] -= h;
      EXPECT_NEAR((entry.model(c.x, up) - entry.model(c.x, down)) / (2 * h), d[j], 1e-6) << j;
    }
    // The sweep gives exactly the same, at this point and the next, and writes every slot.
    const std::size_t width = c.b.size();
    const double xs[] = {-1, c.x};
    double ys[2];
    Vector rows(2 * width, std::nan(""));
    entry.sweep(xs, c.b, ys, rows, width);
    for (int i = 0; i < 2; ++i) {
      Vector di(width, 0.0);
      entry.derivative(xs[i], entry.model(xs[i], c.b), c.b, di);
      EXPECT_EQ(entry.model(xs[i], c.b), ys[i]);
      for (int j = entry.lb; j <= entry.ub; ++j) EXPECT_EQ(di[j], rows[i * width + j]) << j;
    }
  }
}

// Failures write nothing.
TEST(FitCatalogueModel, CodesAndCoefficientsOfEstimatesAndRefinements) {
  const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
  const auto hill = [](double x) { return 10 * x * x / (9 + x * x); };
  const Data line = Points({{0, 1}, {1, 3}, {2, 5}});
  const Data decay = test::Sample(30, 0.1, [](double x) { return 5 * std::exp(-0.5 * x); });
  // From x = 1.9 on: the amplitude is the value at x = 0, not at the first point.
  Data shifted = test::Sample(30, 0.1, [](double x) { return 5 * std::exp(-0.5 * (x + 1.9)); });
  for (int i = 1; i <= shifted.n; ++i) shifted.x[i] += 1.9;
  const Data expConst = test::Sample(30, 0.2, [](double x) { return 2 + 5 * std::exp(-0.5 * x); });
  // Two points share the Hill maximum; ln(Ymax/y - 1) would be -infinity there.
  Data hillTop = test::Sample(12, 0.5, hill);
  hillTop.x.push_back(40), hillTop.y.push_back(hill(40)), ++hillTop.n;
  hillTop.x.push_back(41), hillTop.y.push_back(hill(40)), ++hillTop.n;
  const Data nanoseconds =
      test::Sample(200, 5e4, [](double x) { return 5e3 * std::exp(-0.5e-6 * x); });
  const Data twoExp = test::Sample(
      60, 0.1, [](double x) { return 1 + 5 * std::exp(-0.5 * x) + 2 * std::exp(-3 * x); });
  const Data somePositive = Points({{0, 7}, {-1, 3}, {1, 3}, {2, -4}, {4, 24}, {9, 81}, {3, 0}});
  const int kExp = kModelSumOfExponentials;
  const Call twoFromStart{kExp, {2, 1}, 1000, 0, {}, {0.8, 4, 0.6, 3, 2.5}, false};
  struct Case {
    Call call;
    Data d;
    int want;
    Vector b = {}, tolerance = {};
  };
  std::vector<Case> cases = {
      {{kModelLinear, {}, 1000, 6}, line, kFitNoSuchModel},
      {{kExp, {2, 0}, 1000, 0, {}, Vector(5)}, line, kFitNoSuchModel},
      {{kModelLinear}, Points({{1, 1}, {1, 3}, {1, 5}}), kFitSingular},  // equal abscissas
      {{kModelLinear}, Points({{1e-7, 1}, {1e-7, 3}, {1e-7, 5}}), kFitSingular},
      {{kModelPower}, Points({{0, 7}, {-1, 3}, {2, -4}}), kFitSingular},  // nothing positive
      {{kModelPower}, Points({{1, 3}}), kFitSingular},                    // one point, no line
      {{kModelHill}, Points({{1, 5}, {2, 5}}), kFitSingular},
      // 1 + theta y with theta = -1 is negative for y > 1: no weight exists.
      {{kExp, {1, 0}, 1000, 1, {-1}}, decay, kFitBadWeights},
      {{kExp, {1, 0}, 1000, 3, {1, 1}}, decay, kFitBadArguments},
      {{kExp, {1, 0}, 0}, shifted, kFitOk, {0, 5, 0.5}, {0, 5e-3, 5e-4}},
      {{kExp, {1, 1}, 0}, expConst, kFitOk, {0.9 * expConst.y[30], 5, 0.5}, {0, 5, 0.5}},
      {{kExp, {1, 1}}, expConst, kFitOk, {2, 5, 0.5}, Vector(3, 1e-6)},
      {{kModelPower, {}, 0}, somePositive, kFitOk, {3, 1.5}, {1e-12, 1e-12}},
      {{kModelHill, {}, 0}, hillTop, kFitOk, {hill(40), 3, 2}, {0, 0.1, 0.1}},
      {{kModelHill}, test::Sample(40, 0.25, hill), kFitOk, {10, 3, 2}, Vector(3, 1e-5)},
      // Relative noise: weights 1/y^2 ("Power", theta 2) still find the exact curve.
      {{kExp, {1, 0}, 1000, 5, {2}}, decay, kFitOk, {0, 5, 0.5}, {0, 1e-6, 1e-6}},
      {{kExp, {1, 0}}, nanoseconds, kFitOk, {0, 5e3, 0.5e-6}, {0, 5e-3, 5e-13}},
      {twoFromStart, twoExp, kFitOk, {1, 5, 0.5, 2, 3}, Vector(5, 1e-4)},
  };
  for (int model : {1, 5, 12, -1, 13}) cases.push_back({{model}, line, kFitNoSuchModel});
  for (int model : {int(kModelLinear), kExp, int(kModelPower), int(kModelHill)}) {
    cases.push_back({{model, {1, 0}}, Points({{1, 2}, {2, nan}, {3, 1}}), kFitNonFinite});
    cases.push_back({{model, {1, 0}}, Points({{1, 2}, {inf, 1}, {3, 1}}), kFitNonFinite});
  }
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(testing::Message() << "case " << i << ", model " << c.call.model);
    const FitRun r = Fit(c.call, c.d);
    EXPECT_EQ(c.want, r.code);
    EXPECT_TRUE(c.want == kFitOk || r.yhat[1] == -1.0) << r.yhat[1];
    for (size_t j = 0; j < c.b.size(); ++j) EXPECT_NEAR(c.b[j], r.b[j], c.tolerance[j]) << j;
  }
}

TEST(FitCatalogueModel, LinearIsSolvedInClosedFormWithItsStatistics) {
  // No usable method selected, so other models fail: "Linear" must not refine. SSR 0.3,
  // SST 14.75, two df left; F(1, 2) is t^2 with two degrees, whose tail is 1 - t / sqrt(2 + t^2).
  const uint8_t saved = GetFittingMethod();
  SetFittingMethod(5);
  const Data d = test::Sample(10, 0.3, [](double x) { return 3 * std::pow(x, 1.5); });
  EXPECT_EQ(kFitNoSuchMethod, Fit({kModelPower}, d, {}).code);
  const FitRun r = Fit({kModelLinear}, Points({{0, 1}, {1, 3}, {2, 5}, {3, 6}}), {});
  SetFittingMethod(saved);
  EXPECT_EQ(kFitOk, Fit({kModelPower}, d, {}).code);
  ASSERT_EQ(kFitOk, r.code);
  EXPECT_NEAR(1.2, r.b[0], 1e-12);
  EXPECT_NEAR(1.7, r.b[1], 1e-12);
  const RegressionStats& s = r.stats;
  EXPECT_TRUE(s.dfModel == 1 && s.dfResidual == 2);
  const double f = 14.45 / 0.15, r2 = 1 - 0.3 / 14.75;
  const double want[] = {0.3, 14.75, 0.15, r2, 1 - (1 - r2) * 3 / 2, f, 1 - std::sqrt(f / (2 + f))};
  const double got[] = {s.ssr, s.sst, s.residualVariance, s.r2, s.adjustedR2, s.f, s.fProbability};
  for (int i = 0; i < 7; ++i) EXPECT_NEAR(want[i], got[i], 1e-9) << i;
  const double v[2][2] = {{0.105, -0.045}, {-0.045, 0.03}};
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(v[i / 2][i % 2], r.v[i / 2][i % 2], 1e-12);
  EXPECT_NEAR(std::sqrt(0.15), r.s[4], 1e-12);
  EXPECT_NEAR(6.3, r.yhat[4], 1e-12);
  EXPECT_EQ(-1.0, r.yhat[0]);  // index 0 is not a point
  const RegressionStats exact = Fit({kModelLinear}, Points({{0, 1}, {1, 3}, {2, 5}}), {}).stats;
  EXPECT_TRUE(exact.f == kHugeValue && exact.fProbability == 0) << exact.f;  // a perfect fit
}

// The models written out independently of the library.
struct Reference {
  const char* name;
  int model;
  std::vector<double> options;
  int lb, ub;
  Vector truth;
  double (*f)(double x, const Vector& b);
};

const auto Decay = [](double x, const Vector& b) { return b[0] + b[1] * std::exp(-b[2] * x); };
const auto Power = [](double x, const Vector& b) { return b[0] * std::pow(x, b[1]); };
const auto Hill = [](double x, const Vector& b) { return b[0] / (1 + std::pow(b[1] / x, b[2])); };

const Reference kReferences[] = {
    {"Exponential", kModelSumOfExponentials, {1, 0}, 1, 2, {0, 5, 0.5}, Decay},
    {"ExponentialPlusConstant", kModelSumOfExponentials, {1, 1}, 0, 2, {2, 5, 0.5}, Decay},
    {"Power", kModelPower, {}, 0, 1, {3, 1.5, 0}, Power},
    {"Hill", kModelHill, {}, 0, 2, {10, 3, 2}, Hill},
};

// sqrt(diag((J^T J)^-1)) at the truth: the errors for unit noise, the spread MH samples.
Vector UnitNoiseErrors(const Reference& r, const Data& d) {
  ModelEntry entry;
  EXPECT_EQ(kFitOk, DescribeModel(r.model, r.options, entry));
  Matrix a(2, 2), inv;
  for (int i = 1; i <= d.n; ++i) {
    Vector g(3, 0.0);
    entry.derivative(d.x[i], entry.model(d.x[i], r.truth), r.truth, g);
    for (int j = r.lb; j <= r.ub; ++j)
      for (int k = r.lb; k <= r.ub; ++k) a[j][k] += g[j] * g[k];
  }
  EXPECT_EQ(kFitOk, Invert(a, r.lb, r.ub, inv));
  Vector out(3, 0.0);
  for (int j = r.lb; j <= r.ub; ++j) out[j] = std::sqrt(inv[j][j]);
  return out;
}

Data DataFor(const Reference& r, double sigma) {
  const auto f = [&](double x) { return r.f(x, r.truth); };
  return r.model == kModelHill ? test::Sample(40, 0.25, f, sigma) : test::Sample(30, 0.1, f, sigma);
}

TEST(FitCatalogueModel, EveryMethodRecoversKnownParameters) {
  for (uint8_t method = kMethodMarquardt; method <= kMethodMetropolisHastings; ++method) {
    for (const Reference& r : kReferences) {
      for (double sigma : {0.0, 0.05}) {
        SCOPED_TRACE(testing::Message()
                     << "method " << int(method) << " " << r.name << " noise " << sigma);
        const Data d = DataFor(r, sigma);
        // The stochastic methods get the box an experimenter would give: 0 to twice each value.
        Call call{r.model, r.options};
        for (int j = r.lb; j <= r.ub && method >= kMethodAnnealing; ++j)
          call.lower[j] = 0, call.upper[j] = 2 * r.truth[j];
        const FitRun run = Fit(call, d, {method, RandomSeed{5, 9}});
        ASSERT_EQ(kFitOk, run.code);

        const Vector err = UnitNoiseErrors(r, d);
        for (int j = r.lb; j <= r.ub; ++j) {
          // Tol 0.1 % leaves a few such steps of error: 1 %; noise moves the optimum by sigma err.
          double tolerance = 0.01 * std::fabs(r.truth[j]) + 4 * sigma * err[j];
          // Metropolis-Hastings: the mean of correlated draws of spread err[j].
          if (method == kMethodMetropolisHastings) tolerance += 4 * err[j];
          EXPECT_NEAR(r.truth[j], run.b[j], tolerance) << "slot " << j;
          if (method == kMethodMetropolisHastings) {
            const double ratio = run.v[j][j] / run.stats.residualVariance / (err[j] * err[j]);
            EXPECT_TRUE(ratio > 0.05 && ratio < 20) << "slot " << j << ": " << ratio;
          }
        }
        EXPECT_TRUE(method == kMethodMetropolisHastings || run.stats.r2 > 0.99);
      }
    }
  }
}

}  // namespace
}  // namespace quellar::numerics
