// The model catalogue: slots, values and derivatives, the models' own estimates, the statistics
// and the codes of FitCatalogueModel.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "FitData.h"

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
};

// The math object's call: Marquardt, Tol 0.001, bounds +-1e6.
test::CatalogueRun Fit(const Call& c, const Data& d,
                       FitSettings settings = {kMethodMarquardt, {}}) {
  CatalogueFit fit;
  fit.model = c.model, fit.options = c.options, fit.varianceModel = c.varianceModel;
  fit.theta = c.theta, fit.estimate = c.estimate, fit.maxIter = c.maxIter;
  return test::RunCatalogue(fit, d, settings, c.b);
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
      {kModelSumOfExponentials, {2, 1}, 0, 4, {1, 5, 0.5, 2, 3}, 0.7, -1},
      {kModelPower, {}, 0, 1, {3, 1.5, 0}, 4, 24},
      {kModelPower, {}, 0, 1, {3, 1.5, 0}, 2.5, -1},
      {kModelHill, {}, 0, 2, {10, 3, 2}, 3, 5},
      {kModelHill, {}, 0, 2, {10, 3, 2}, 2, -1},
      {kModelHill, {}, 0, 2, {10, 3, 2}, 0, 0},    // x = 0 with a positive exponent
      {kModelHill, {}, 0, 2, {10, 3, -1}, 0, 10},  // x = 0 with a non-positive exponent
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << kModelNames[c.model] << " at " << c.x);
    ModelEntry entry;
    ASSERT_EQ(kFitOk, DescribeModel(c.model, c.options, entry));
    EXPECT_EQ(c.lb, entry.lb);
    EXPECT_EQ(c.ub, entry.ub);
    if (c.y != -1) {
      EXPECT_DOUBLE_EQ(c.y, entry.model(c.x, c.b));
    }
    // Derivatives against difference quotients.
    Vector d(c.b.size(), 0.0);
    entry.derivative(c.x, entry.model(c.x, c.b), c.b, d);
    for (int j = entry.lb; j <= entry.ub; ++j) {
      Vector up = c.b, down = c.b;
      const double h = 1e-6 * std::max(1.0, std::fabs(c.b[j]));
      up[j] += h, down[j] -= h;
      EXPECT_NEAR((entry.model(c.x, up) - entry.model(c.x, down)) / (2 * h), d[j], 1e-6) << j;
    }
  }
}

TEST(FitCatalogueModel, FailuresGiveTheirCodeAndWriteNothing) {
  const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
  const Data line = Points({{0, 1}, {1, 3}, {2, 5}});
  const Data decay = test::Sample(30, 0.1, [](double x) { return 5 * std::exp(-0.5 * x); });
  struct Case {
    Call call;
    Data d;
    int want;
  };
  std::vector<Case> cases = {
      {{kModelLinear, {}, 1000, 6}, line, kFitNoSuchModel},
      // Two exponentials have a model but no estimate of their own.
      {{kModelSumOfExponentials, {2, 0}, 1000, 0, {}, Vector(5)}, line, kFitNoSuchModel},
      {{kModelLinear}, Points({{1, 1}, {1, 3}, {1, 5}}), kFitSingular},  // equal abscissas
      {{kModelLinear}, Points({{0.1, 1}, {0.1, 3}, {0.1, 5}}), kFitSingular},
      {{kModelLinear}, Points({{1e-7, 1}, {1e-7, 3}, {1e-7, 5}}), kFitSingular},
      {{kModelPower}, Points({{0, 7}, {-1, 3}, {2, -4}}), kFitSingular},  // nothing positive
      {{kModelPower}, Points({{1, 3}}), kFitSingular},                    // one point, no line
      {{kModelHill}, Points({{1, 5}, {2, 5}}), kFitSingular},
      // 1 + theta y with theta = -1 is negative for y > 1: no weight exists.
      {{kModelSumOfExponentials, {1, 0}, 1000, 1, {-1}}, decay, kFitBadWeights},
      {{kModelSumOfExponentials, {1, 0}, 1000, 3, {1, 1}}, decay, kFitBadArguments},
  };
  for (int model : {1, 2, 3, 5, 6, 8, 9, 11, 12, -1, 13}) {
    ModelEntry entry;
    EXPECT_EQ(kFitNoSuchModel, DescribeModel(model, {}, entry)) << model;
    cases.push_back({{model}, line, kFitNoSuchModel});
  }
  // Non-finite data fails before any estimate.
  for (int model : {kModelLinear, kModelSumOfExponentials, kModelPower, kModelHill}) {
    cases.push_back({{model, {1, 0}}, Points({{1, 2}, {2, nan}, {3, 1}}), kFitNonFinite});
    cases.push_back({{model, {1, 0}}, Points({{1, 2}, {inf, 1}, {3, 1}}), kFitNonFinite});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "model " << c.call.model << " point 1 at " << c.d.x[1]);
    const test::CatalogueRun r = Fit(c.call, c.d);
    EXPECT_EQ(c.want, r.code);
    EXPECT_EQ(-1.0, r.yhat[1]);
  }
}

TEST(FitCatalogueModel, LinearIsSolvedInClosedFormWithItsStatistics) {
  // With no usable fitting method selected, any refinement would fail: "Linear" must not run one.
  // y = 1.2 + 1.7 x with residuals (-0.2, 0.1, 0.4, -0.3): SSR 0.3, SST 14.75, two degrees of
  // freedom left. F(1, 2) is t^2 with two degrees, whose tail is 1 - t / sqrt(2 + t^2).
  const uint8_t saved = GetFittingMethod();
  SetFittingMethod(7);
  const test::CatalogueRun r = Fit({kModelLinear}, Points({{0, 1}, {1, 3}, {2, 5}, {3, 6}}), {});
  SetFittingMethod(saved);
  ASSERT_EQ(kFitOk, r.code);
  EXPECT_NEAR(1.2, r.b[0], 1e-12);
  EXPECT_NEAR(1.7, r.b[1], 1e-12);
  const RegressionStats& s = r.stats;
  EXPECT_NEAR(0.3, s.ssr, 1e-12);
  EXPECT_NEAR(14.75, s.sst, 1e-12);
  EXPECT_EQ(1, s.dfModel);
  EXPECT_EQ(2, s.dfResidual);
  EXPECT_NEAR(0.15, s.residualVariance, 1e-12);
  EXPECT_NEAR(1 - 0.3 / 14.75, s.r2, 1e-12);
  EXPECT_NEAR(1 - (0.3 / 14.75) * 3 / 2, s.adjustedR2, 1e-12);
  const double f = 14.45 / 0.15;
  EXPECT_NEAR(f, s.f, 1e-9);
  EXPECT_NEAR(1 - std::sqrt(f / (2 + f)), s.fProbability, 1e-10);
  // V = residual variance times the inverse normal matrix [[0.7, -0.3], [-0.3, 0.2]].
  EXPECT_NEAR(0.105, r.v[0][0], 1e-12);
  EXPECT_NEAR(-0.045, r.v[0][1], 1e-12);
  EXPECT_NEAR(-0.045, r.v[1][0], 1e-12);
  EXPECT_NEAR(0.03, r.v[1][1], 1e-12);
  for (int i = 1; i <= 4; ++i) EXPECT_NEAR(std::sqrt(0.15), r.s[i], 1e-12);
  EXPECT_NEAR(2.9, r.yhat[2], 1e-12);
  EXPECT_NEAR(6.3, r.yhat[4], 1e-12);
  EXPECT_EQ(-1.0, r.yhat[0]);  // index 0 is not a point
}

TEST(FitCatalogueModel, EstimatesAndRefinementsReachTheKnownParameters) {
  const auto hill = [](double x) { return 10 * x * x / (9 + x * x); };
  // Points from x = 2 on: the exponential's amplitude is the value at x = 0, not at the first
  // point. The running trapezoid integral is good to 0.1 % with steps of 0.1.
  Data shifted = test::Sample(30, 0.1, [](double x) { return 5 * std::exp(-0.5 * (x + 1.9)); });
  for (int i = 1; i <= shifted.n; ++i) shifted.x[i] += 1.9;
  const Data expConst = test::Sample(30, 0.2, [](double x) { return 2 + 5 * std::exp(-0.5 * x); });
  // Two points share the Hill maximum; ln(Ymax/y - 1) would be -infinity there.
  Data hillTop = test::Sample(12, 0.5, hill);
  hillTop.x.push_back(40), hillTop.y.push_back(hill(40)), ++hillTop.n;
  hillTop.x.push_back(41), hillTop.y.push_back(hill(40)), ++hillTop.n;
  // Relative noise: weights 1/y^2 ("Power", theta 2) still find the exact curve.
  const Data decay = test::Sample(30, 0.1, [](double x) { return 5 * std::exp(-0.5 * x); });
  // The same decay with time in ns and y in mV: rates near 1e-6 must be refined as well as
  // rates near 1.
  const Data nanoseconds =
      test::Sample(200, 5e4, [](double x) { return 5e3 * std::exp(-0.5e-6 * x); });
  const Data twoExp = test::Sample(
      60, 0.1, [](double x) { return 1 + 5 * std::exp(-0.5 * x) + 2 * std::exp(-3 * x); });
  struct Case {
    const char* name;
    Call call;
    Data d;
    Vector want, tolerance;
  };
  const int kExp = kModelSumOfExponentials;
  const double ymin = expConst.y[30];  // the constant's estimate starts from the minimum
  // The power estimate uses only the positive points; two exponentials need a start.
  const Data somePositive = Points({{0, 7}, {-1, 3}, {1, 3}, {2, -4}, {4, 24}, {9, 81}, {3, 0}});
  const Call twoFromStart{kExp, {2, 1}, 1000, 0, {}, {0.8, 4, 0.6, 3, 2.5}, false};
  const Case cases[] = {
      {"exponential estimate", {kExp, {1, 0}, 0}, shifted, {0, 5, 0.5}, {0, 5e-3, 5e-4}},
      {"constant estimate", {kExp, {1, 1}, 0}, expConst, {0.9 * ymin, 5, 0.5}, {0, 5, 0.5}},
      {"exponential plus constant", {kExp, {1, 1}}, expConst, {2, 5, 0.5}, Vector(3, 1e-6)},
      {"power estimate", {kModelPower, {}, 0}, somePositive, {3, 1.5}, {1e-12, 1e-12}},
      {"Hill estimate", {kModelHill, {}, 0}, hillTop, {hill(40), 3, 2}, {0, 0.1, 0.1}},
      {"Hill", {kModelHill}, test::Sample(40, 0.25, hill), {10, 3, 2}, Vector(3, 1e-5)},
      {"weighted", {kExp, {1, 0}, 1000, 5, {2}}, decay, {0, 5, 0.5}, {0, 1e-6, 1e-6}},
      {"units", {kExp, {1, 0}}, nanoseconds, {0, 5e3, 0.5e-6}, {0, 5e-3, 5e-13}},
      {"two exponentials", twoFromStart, twoExp, {1, 5, 0.5, 2, 3}, Vector(5, 1e-4)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const test::CatalogueRun r = Fit(c.call, c.d);
    ASSERT_EQ(kFitOk, r.code);
    for (size_t j = 0; j < c.want.size(); ++j) EXPECT_NEAR(c.want[j], r.b[j], c.tolerance[j]) << j;
  }
}

TEST(FitCatalogueModel, UnsetMethodIsTheSelectedOne) {
  const uint8_t saved = GetFittingMethod();
  SetFittingMethod(5);
  const Data d = test::Sample(10, 0.3, [](double x) { return 3 * std::pow(x, 1.5); });
  EXPECT_EQ(kFitNoSuchMethod, Fit({kModelPower}, d, {}).code);
  SetFittingMethod(saved);
  EXPECT_EQ(kFitOk, Fit({kModelPower}, d, {}).code);
}

}  // namespace
}  // namespace quellar::numerics
