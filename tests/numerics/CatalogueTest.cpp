// The model catalogue: names, slots, the models' own estimates, the statistics and the codes of
// FitCatalogueModel.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "FitData.h"

namespace quellar::numerics {
namespace {

using test::Data;

Data Points(std::initializer_list<std::pair<double, double>> pts) {
  Data d{NewVector(int(pts.size())), NewVector(int(pts.size())), int(pts.size())};
  int i = 1;
  for (auto [x, y] : pts) d.x[i] = x, d.y[i] = y, ++i;
  return d;
}

struct FitRun {
  int code;
  Vector b;
  Matrix v;
  Vector yhat, s;
  RegressionStats stats;
};

// The math object's call: estimate on, MaxIter 1000 (0 = estimate only), Tol 0.001, +-1e6.
FitRun Fit(int model, std::vector<double> options, const Data& d, int maxIter = 1000,
           int varianceModel = 0, std::vector<double> theta = {}, Vector b = Vector(3, 0.0),
           bool estimate = true) {
  const Vector lower(8, -1e6), upper(8, 1e6);
  CatalogueFit fit;
  fit.model = model;
  fit.options = options;
  fit.varianceModel = varianceModel;
  fit.theta = theta;
  fit.x = d.x;
  fit.y = d.y;
  fit.n = d.n;
  fit.estimate = estimate;
  fit.maxIter = maxIter;
  fit.lower = lower;
  fit.upper = upper;
  FitRun r{0, b, {}, Vector(d.n + 1, -1.0), Vector(d.n + 1, -1.0), {}};
  r.code = FitCatalogueModel(fit, r.b, r.v, r.yhat, r.s, r.stats, {kMethodMarquardt, {}});
  return r;
}

TEST(ModelCatalogue, SlotsAndValuesOfTheImplementedModels) {
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
  }
}

TEST(ModelCatalogue, DerivativesMatchDifferenceQuotients) {
  struct Case {
    int model;
    std::vector<double> options;
    Vector b;
    double x;
  };
  const Case cases[] = {{kModelSumOfExponentials, {2, 1}, {1, 5, 0.5, 2, 3}, 0.7},
                        {kModelPower, {}, {3, 1.5}, 2.5},
                        {kModelHill, {}, {10, 3, 2}, 2.0},
                        {kModelLinear, {}, {1, 2}, 3.0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(kModelNames[c.model]);
    ModelEntry entry;
    ASSERT_EQ(kFitOk, DescribeModel(c.model, c.options, entry));
    Vector d(c.b.size(), 0.0);
    entry.derivative(c.x, entry.model(c.x, c.b), c.b, d);
    for (int j = entry.lb; j <= entry.ub; ++j) {
      Vector up = c.b, down = c.b;
      const double h = 1e-6 * std::max(1.0, std::fabs(c.b[j]));
      up[j] += h, down[j] -= h;
      EXPECT_NEAR((entry.model(c.x, up) - entry.model(c.x, down)) / (2 * h), d[j], 1e-6);
    }
  }
}

TEST(ModelCatalogue, ModelsWithoutImplementationAreRefused) {
  const Data d = Points({{0, 1}, {1, 3}, {2, 5}});
  for (int model : {1, 2, 3, 5, 6, 8, 9, 11, 12, -1, 13}) {
    SCOPED_TRACE(model);
    ModelEntry entry;
    EXPECT_EQ(kFitNoSuchModel, DescribeModel(model, {}, entry));
    EXPECT_EQ(kFitNoSuchModel, Fit(model, {}, d).code);
  }
  EXPECT_EQ(kFitNoSuchModel, Fit(kModelLinear, {}, d, 1000, 6).code);
  // Two exponentials have a model but no estimate of their own.
  EXPECT_EQ(kFitNoSuchModel, Fit(kModelSumOfExponentials, {2, 0}, d, 1000, 0, {}, Vector(5)).code);
}

TEST(FitCatalogueModel, LinearIsSolvedInClosedForm) {
  const uint8_t saved = GetFittingMethod();
  // With no usable fitting method selected, any refinement would fail: "Linear" must not run one.
  SetFittingMethod(7);
  const FitRun r = Fit(kModelLinear, {}, Points({{0, 1}, {1, 3}, {2, 5}}));
  SetFittingMethod(saved);
  ASSERT_EQ(kFitOk, r.code);
  EXPECT_NEAR(1, r.b[0], 1e-14);
  EXPECT_NEAR(2, r.b[1], 1e-14);
  EXPECT_NEAR(3, r.yhat[2], 1e-14);
  EXPECT_EQ(-1.0, r.yhat[0]);          // index 0 is not a point
  for (double x : {1.0, 0.1, 1e-7}) {  // equal abscissas
    SCOPED_TRACE(x);
    const FitRun r = Fit(kModelLinear, {}, Points({{x, 1}, {x, 3}, {x, 5}}));
    EXPECT_EQ(kFitSingular, r.code);
    EXPECT_EQ(-1.0, r.yhat[1]);  // nothing written on failure
  }
}

TEST(FitCatalogueModel, StatisticsOfALinearFit) {
  // y = 1.2 + 1.7 x with residuals (-0.2, 0.1, 0.4, -0.3): SSR 0.3, SST 14.75, two degrees of
  // freedom left. F(1, 2) is t^2 with two degrees, whose tail is 1 - t / sqrt(2 + t^2).
  const FitRun r = Fit(kModelLinear, {}, Points({{0, 1}, {1, 3}, {2, 5}, {3, 6}}));
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
  EXPECT_NEAR(6.3, r.yhat[4], 1e-12);
}

TEST(FitCatalogueModel, ExponentialEstimateReferredToTheOrigin) {
  // Points from x = 2 on: the amplitude is the value at x = 0, not at the first point. The
  // running trapezoid integral is the only approximation; with steps of 0.1 it is good to 0.1 %.
  const Data d = test::Sample(30, 0.1, [](double x) { return 5 * std::exp(-0.5 * x); });
  Data shifted = d;
  for (int i = 1; i <= d.n; ++i) {
    shifted.x[i] = 2 + 0.1 * (i - 1);
    shifted.y[i] = 5 * std::exp(-0.5 * shifted.x[i]);
  }
  const FitRun r = Fit(kModelSumOfExponentials, {1, 0}, shifted, 0);
  ASSERT_EQ(kFitOk, r.code);
  EXPECT_NEAR(5, r.b[1], 0.005);
  EXPECT_NEAR(0.5, r.b[2], 0.0005);
  EXPECT_EQ(0, r.b[0]);  // slot 0 is not the model's
}

TEST(FitCatalogueModel, ExponentialPlusConstantEstimateStartsFromTheMinimum) {
  const Data d = test::Sample(30, 0.2, [](double x) { return 2 + 5 * std::exp(-0.5 * x); });
  double ymin = d.y[1];
  for (int i = 1; i <= d.n; ++i) ymin = std::min(ymin, d.y[i]);
  const FitRun estimate = Fit(kModelSumOfExponentials, {1, 1}, d, 0);
  ASSERT_EQ(kFitOk, estimate.code);
  EXPECT_EQ(0.9 * ymin, estimate.b[0]);
  EXPECT_GT(estimate.b[2], 0);
  const FitRun refined = Fit(kModelSumOfExponentials, {1, 1}, d);
  ASSERT_EQ(kFitOk, refined.code);
  EXPECT_NEAR(2, refined.b[0], 1e-6);
  EXPECT_NEAR(5, refined.b[1], 1e-6);
  EXPECT_NEAR(0.5, refined.b[2], 1e-6);
}

TEST(FitCatalogueModel, PowerEstimateUsesOnlyPositivePoints) {
  const FitRun r =
      Fit(kModelPower, {}, Points({{0, 7}, {-1, 3}, {1, 3}, {2, -4}, {4, 24}, {9, 81}, {3, 0}}), 0);
  ASSERT_EQ(kFitOk, r.code);
  EXPECT_NEAR(3, r.b[0], 1e-12);
  EXPECT_NEAR(1.5, r.b[1], 1e-12);
  EXPECT_EQ(kFitSingular, Fit(kModelPower, {}, Points({{0, 7}, {-1, 3}, {2, -4}})).code);
  EXPECT_EQ(kFitSingular, Fit(kModelPower, {}, Points({{1, 3}})).code);  // one point, no line
}

TEST(FitCatalogueModel, HillEstimateLeavesOutThePointsAtTheMaximum) {
  // Two points share the maximum; ln(Ymax/y - 1) would be -infinity there.
  const auto hill = [](double x) { return 10 * x * x / (9 + x * x); };
  Data d = test::Sample(12, 0.5, hill);
  d.x.push_back(40), d.y.push_back(hill(40)), ++d.n;
  d.x.push_back(41), d.y.push_back(hill(40)), ++d.n;
  const FitRun estimate = Fit(kModelHill, {}, d, 0);
  ASSERT_EQ(kFitOk, estimate.code);
  EXPECT_EQ(hill(40), estimate.b[0]);
  EXPECT_TRUE(std::isfinite(estimate.b[1]) && std::isfinite(estimate.b[2]));
  EXPECT_NEAR(3, estimate.b[1], 0.1);
  EXPECT_NEAR(2, estimate.b[2], 0.1);
  const FitRun refined = Fit(kModelHill, {}, test::Sample(40, 0.25, hill));
  ASSERT_EQ(kFitOk, refined.code);
  EXPECT_NEAR(10, refined.b[0], 1e-5);
  EXPECT_NEAR(3, refined.b[1], 1e-5);
  EXPECT_NEAR(2, refined.b[2], 1e-5);
  EXPECT_EQ(kFitSingular, Fit(kModelHill, {}, Points({{1, 5}, {2, 5}})).code);
}

TEST(FitCatalogueModel, NonFiniteDataFailsBeforeAnyEstimate) {
  const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
  for (int model : {kModelLinear, kModelSumOfExponentials, kModelPower, kModelHill}) {
    SCOPED_TRACE(model);
    EXPECT_EQ(kFitNonFinite, Fit(model, {1, 0}, Points({{1, 2}, {2, nan}, {3, 1}})).code);
    EXPECT_EQ(kFitNonFinite, Fit(model, {1, 0}, Points({{1, 2}, {inf, 1}, {3, 1}})).code);
  }
}

TEST(FitCatalogueModel, NoSuchMethodFailsEveryRefinedModel) {
  const uint8_t saved = GetFittingMethod();
  SetFittingMethod(5);
  const Data d = test::Sample(10, 0.3, [](double x) { return 3 * std::pow(x, 1.5); });
  Vector lower(3, -1e6), upper(3, 1e6), b(3, 0.0), yhat = NewVector(d.n), s = NewVector(d.n);
  Matrix v;
  RegressionStats stats;
  CatalogueFit fit;
  fit.model = kModelPower;
  fit.x = d.x, fit.y = d.y, fit.n = d.n, fit.lower = lower, fit.upper = upper;
  EXPECT_EQ(kFitNoSuchMethod, FitCatalogueModel(fit, b, v, yhat, s, stats));
  SetFittingMethod(saved);
  EXPECT_EQ(kFitOk, FitCatalogueModel(fit, b, v, yhat, s, stats));
}

TEST(FitCatalogueModel, VarianceModelWeightsTheRefinement) {
  // Relative noise: weights 1/y^2 ("Power", theta 2) still find the exact curve, and the
  // statistics are weighted (SSR in relative units).
  const Data d = test::Sample(30, 0.1, [](double x) { return 5 * std::exp(-0.5 * x); });
  const FitRun r = Fit(kModelSumOfExponentials, {1, 0}, d, 1000, 5, {2});
  ASSERT_EQ(kFitOk, r.code);
  EXPECT_NEAR(5, r.b[1], 1e-6);
  EXPECT_NEAR(0.5, r.b[2], 1e-6);
  // 1 + theta y with theta = -1 is negative for y > 1: no weight exists.
  EXPECT_EQ(kFitBadWeights, Fit(kModelSumOfExponentials, {1, 0}, d, 1000, 1, {-1}).code);
  EXPECT_EQ(kFitBadArguments, Fit(kModelSumOfExponentials, {1, 0}, d, 1000, 3, {1, 1}).code);
}

TEST(FitCatalogueModel, TwoExponentialsRefineFromAGivenStart) {
  const Data d = test::Sample(
      60, 0.1, [](double x) { return 1 + 5 * std::exp(-0.5 * x) + 2 * std::exp(-3 * x); });
  const FitRun r =
      Fit(kModelSumOfExponentials, {2, 1}, d, 1000, 0, {}, {0.8, 4, 0.6, 3, 2.5}, false);
  ASSERT_EQ(kFitOk, r.code);
  const double truth[] = {1, 5, 0.5, 2, 3};
  for (int j = 0; j <= 4; ++j) EXPECT_NEAR(truth[j], r.b[j], 1e-4) << j;
}

}  // namespace
}  // namespace quellar::numerics
