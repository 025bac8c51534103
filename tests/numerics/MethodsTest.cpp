// The objective, its derivatives, the line search and the edge cases of the five methods.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "FitData.h"
#include "numerics/mcmc.h"
#include "numerics/models/estimates.h"
#include "numerics/optim.h"
#include "numerics/simopt.h"

namespace quellar::numerics {
namespace {

using test::Data;
using test::Problem;

const double kInf = std::numeric_limits<double>::infinity();
const Vector kWide{-1e6, -1e6}, kWideUpper{1e6, 1e6}, kBox{-10, -10}, kBoxUpper{10, 10};
int calls = 0;  // model evaluations of the line

// y = b0 + b1 x over slots 0..1.
FitProblem Line(const Data& d, const Vector& lower = kWide, const Vector& upper = kWideUpper) {
  return Problem(
      [](double x, std::span<const double> b) {
        ++calls;
        return b[0] + b[1] * x;
      },
      [](double x, double, std::span<const double>, std::span<double> dv) { dv[0] = 1, dv[1] = x; },
      d, 1, lower, upper);
}

Data LineData() {
  return test::Sample(5, 1.0, [](double x) { return 1 + 2 * x; });
}

const auto kNoDerivative = [](double, double, std::span<const double>, std::span<double>) {};

TEST(FitState, ObjectiveIsExactly1e30OutOfBoundsAndNeverMore) {
  const Data d = LineData();
  FitState state(Line(d, kBox, kBoxUpper));
  EXPECT_DOUBLE_EQ(0.0, state.Objective(Vector{1, 2}));
  EXPECT_DOUBLE_EQ(5.0, state.Objective(Vector{2, 2}));
  calls = 0;
  EXPECT_EQ(1e30, state.Objective(Vector{1, 10.5}));
  EXPECT_EQ(1e30, state.Objective(Vector{-10.5, 2}));
  EXPECT_EQ(0, calls);  // the model is not evaluated out of bounds

  // Residuals of 1e200 would square to infinity; the sum stops at the ceiling.
  const Vector hugeLower{-1e300, -1e300}, hugeUpper{1e300, 1e300};
  FitProblem p = Line(d, hugeLower, hugeUpper);
  FitState huge(p);
  EXPECT_EQ(1e30, huge.Objective(Vector{1e200, 0}));
  EXPECT_EQ(1e30, huge.Objective(Vector{1e15, 0}));  // 5e30 > 1e30
  p.model = [](double, std::span<const double>) { return std::nan(""); };
  EXPECT_EQ(1e30, FitState(p).Objective(Vector{1, 2}));
}

TEST(FitState, DerivativesUseTheValuesAtTheirOwnPoint) {
  const Data d = LineData();
  FitState state(Line(d));
  const Vector at{0.5, 1.5};
  Vector g(2), g2(2);
  state.Gradient(at, g);
  // Residuals y - yhat at (0.5, 1.5) are 0.5 + 0.5 x.
  double e0 = 0, e1 = 0;
  for (int i = 1; i <= d.n; ++i) e0 += 0.5 + 0.5 * d.x[i], e1 += (0.5 + 0.5 * d.x[i]) * d.x[i];
  EXPECT_DOUBLE_EQ(-2 * e0, g[0]);
  EXPECT_DOUBLE_EQ(-2 * e1, g[1]);
  // An objective evaluated elsewhere in between must not leak into the derivatives.
  state.Objective(Vector{7, -3});
  Matrix a;
  state.GaussNewton(at, g2, a);
  EXPECT_DOUBLE_EQ(-e0, g2[0]);
  EXPECT_DOUBLE_EQ(-e1, g2[1]);
  EXPECT_DOUBLE_EQ(d.n, a[0][0]);
  EXPECT_DOUBLE_EQ(15, a[0][1]);  // sum of x = 1..5
  EXPECT_DOUBLE_EQ(15, a[1][0]);
  EXPECT_DOUBLE_EQ(55, a[1][1]);
}

TEST(LineSearch, FindsTheMinimumAlongTheDirection) {
  const Data d = LineData();
  FitState state(Line(d));
  Vector b{1, 0};
  double f = state.Objective(b);
  EXPECT_EQ(kFitOk, LineSearch(state, b, Vector{0, 1}, f));  // minimum at r = 2
  EXPECT_NEAR(2, b[1], 0.02);  // golden section stops at 1 % of the interior points
  EXPECT_EQ(1, b[0]);
  EXPECT_DOUBLE_EQ(state.Objective(b), f);
}

TEST(LineSearch, EndlessDescentIsCut) {
  // S = n / b0^2 falls for ever as b0 grows; there are no bounds to stop it.
  const Data d = test::Sample(3, 1.0, [](double) { return 0.0; });
  const Vector lower{-kInf}, upper{kInf};
  FitProblem p = Problem([](double, std::span<const double> b) { return 1 / b[0]; },
                         [](double, double, std::span<const double> b, std::span<double> dv) {
                           dv[0] = -1 / (b[0] * b[0]);
                         },
                         d, 0, lower, upper);
  FitState state(p);
  Vector b{1};
  double f = state.Objective(b);
  EXPECT_EQ(kFitIterationLimit, LineSearch(state, b, Vector{1}, f));
  EXPECT_GT(b[0], 1e15);
  EXPECT_LT(f, 1e-30);
  // Whole fits on it end too, never with success and a non-finite coefficient.
  p.maxIter = 50;
  for (uint8_t method : {kMethodMarquardt, kMethodSimplex, kMethodBfgs}) {
    Vector start{1};
    Matrix v;
    const int code = FitNonlinear(p, start, v, {method, {}});
    EXPECT_TRUE(code != kFitOk || std::isfinite(start[0])) << code << " method " << int(method);
  }
}

TEST(Marquardt, ExactlyLinearModelConverges) {
  const Data d = test::Sample(
      10, 0.5, [](double x) { return -3 + 0.25 * x; }, 0.1);
  Vector b{10, 10};
  Matrix v, vv;
  calls = 0;
  ASSERT_EQ(kFitOk, FitNonlinear(Line(d), b, v, {kMethodMarquardt, {}}));
  // The final undamped Gauss-Newton step of a linear model is the exact least-squares solution,
  // and V is the inverse of the normal matrix.
  models::Line fit;
  const auto tail = [](const Vector& v) { return std::span(v).subspan(1); };
  ASSERT_EQ(kFitOk, models::FitLine(tail(d.x), tail(d.y), {}, true, fit, &vv));
  EXPECT_NEAR(fit.a0, b[0], 1e-9);
  EXPECT_NEAR(fit.a1, b[1], 1e-9);
  EXPECT_NEAR(vv[0][0], v[0][0], 1e-9);
  EXPECT_NEAR(vv[0][1], v[0][1], 1e-9);
  EXPECT_NEAR(vv[1][1], v[1][1], 1e-9);
  EXPECT_LT(calls, 100 * d.n);  // a handful of iterations, not a slow crawl
}

// What each method returns on the awkward problems, and where it leaves the coefficients.
TEST(FitNonlinear, CodesAndCoefficientsOfTheEdgeCases) {
  const Data d = LineData();
  Data bad[3] = {d, d, d};
  bad[0].x[2] = std::nan(""), bad[1].y[3] = std::nan(""), bad[2].y[3] = kInf;
  const Vector lo5{-5, -5}, hi5{5, 5}, loInf{-5, -kInf}, hiInf{5, kInf};
  const Vector lo1{-0.2, -10}, hi1{0, 10}, lo2{0, -10}, hi2{0.1, 10}, lo3{0, 2}, hi3{1, 2};
  // A parameter the model ignores: Marquardt meets the zero column of the Gauss-Newton matrix
  // at once, simplex in its covariance step.
  const FitProblem ignored = Problem(
      [](double x, std::span<const double> b) { return b[0] * x; },
      [](double x, double, std::span<const double>, std::span<double> dv) { dv[0] = x, dv[1] = 0; },
      d, 1, kBox, kBoxUpper);
  FitProblem flat = Line(d, kBox, kBoxUpper), past = Line(d, lo5, hi5);
  flat.derivative = kNoDerivative;
  past.n = 9;                                       // more points than x holds
  const Vector half{0.5, 0.5}, keep{std::nan("")};  // keep: refused, b untouched
  struct Case {
    const char* name;
    FitProblem p;
    Vector start;
    uint8_t method;
    int want;
    Vector b = {};
    double tolerance = 0;
  };
  const uint8_t kM = kMethodMarquardt, kS = kMethodSimplex, kA = kMethodAnnealing;
  std::vector<Case> cases = {
      {"start at the minimum", Line(d), {1, 2}, kM, kFitOk, {1, 2}, 1e-12},
      {"start at the minimum", Line(d), {1, 2}, kMethodBfgs, kFitOk, {1, 2}, 0},
      {"ignored parameter", ignored, {1, 1}, kM, kFitSingular},
      {"ignored parameter", ignored, {1, 1}, kS, kFitSingular},
      // All-zero derivatives after a search that itself succeeded.
      {"zero derivatives", flat, {0.8, 2.3}, kS, kFitSingular, {1, 2}, 0.01},
      {"zero derivatives", flat, {0.8, 2.3}, kA, kFitSingular, {1, 2}, 0.01},
      // 1.5 b[j] would leave vertex j on b: a flat simplex that stops at once on (0, 1.5). A
      // zero coordinate is offset instead, inside the bounds. Against a bound the best point
      // is no stationary point, so no success; the slope is then sum x (y - b0) / sum x^2,
      // found to ten times Tol as the simplex collapses onto the barrier.
      {"zero start", Line(d), {0, 1}, kS, kFitOk, {1, 2}, 0.01},
      {"zero start", Line(d, lo1, hi1), {0, 1}, kS, kFitIterationLimit, {0, 125.0 / 55}, 0.01},
      {"zero start", Line(d, lo2, hi2), {0, 1}, kS, kFitIterationLimit, {0.1, 123.5 / 55}, 0.01},
      // Every vertex of a simplex started outside the bounds scores 1e30; it collapses there.
      {"outside the bounds", Line(d, kBox, kBoxUpper), {50, 50}, kS, kFitNoFit},
      // Zero width gives Metropolis-Hastings no proposal scale.
      {"zero-width bounds",
       Line(d, lo3, hi3),
       {0, 0},
       kMethodMetropolisHastings,
       kFitIterationLimit},
      {"method 5", Line(d), half, 5, kFitNoSuchMethod, keep},
      {"method 255", Line(d), half, 255, kFitNoSuchMethod, keep},
      {"short b", Line(d), {0.5}, kM, kFitBadArguments, keep},
      {"n past x", past, half, kM, kFitBadArguments, keep},
      // The stochastic methods draw inside the bounds, so theirs must be finite.
      {"infinite bound", Line(d, loInf, hi5), half, kA, kFitNonFinite, keep},
      {"infinite bounds", Line(d, loInf, hiInf), half, kM, kFitOk, {1, 2}, 1e-6},
  };
  for (const Data& x : bad)
    for (uint8_t method = 0; method <= 4; ++method)
      cases.push_back({"non-finite data", Line(x, lo5, hi5), half, method, kFitNonFinite, keep});
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.name << ", method " << int(c.method));
    Vector b = c.start;
    Matrix v;
    calls = 0;
    EXPECT_EQ(c.want, FitNonlinear(c.p, b, v, {c.method, RandomSeed{1, 2}}));
    for (size_t j = 0; j < c.b.size(); ++j)
      EXPECT_NEAR(std::isnan(c.b[j]) ? c.start[j] : c.b[j], b[j], c.tolerance) << j;
    if (!c.b.empty() && std::isnan(c.b[0])) {
      EXPECT_EQ(0, calls);
    }
    if (c.method == kMethodBfgs && c.want == kFitOk) {
      EXPECT_EQ(d.n, calls);  // one objective, no line search
      EXPECT_EQ(1, v[0][0]);  // H is still the identity
      EXPECT_EQ(0, v[0][1]);
    }
  }
}

TEST(MetropolisHastings, IgnoresTheStartAndDependsOnTheSeed) {
  const Data d = test::Sample(
      20, 0.25, [](double x) { return 1 + 2 * x; }, 0.5);
  const Vector lower{-2, 0}, upper{4, 4};
  const FitProblem p = Line(d, lower, upper);
  Vector b1{1, 2}, b2{-1.5, 3.5}, b3{1, 2};
  Matrix v1, v2, v3;
  ASSERT_EQ(kFitOk, FitNonlinear(p, b1, v1, {kMethodMetropolisHastings, RandomSeed{10, 20}}));
  ASSERT_EQ(kFitOk, FitNonlinear(p, b2, v2, {kMethodMetropolisHastings, RandomSeed{10, 20}}));
  ASSERT_EQ(kFitOk, FitNonlinear(p, b3, v3, {kMethodMetropolisHastings, RandomSeed{11, 20}}));
  EXPECT_EQ(b1, b2);  // same seed, different start: same chain
  EXPECT_EQ(v1[0][1], v2[0][1]);
  EXPECT_NE(b1, b3);
  EXPECT_NEAR(b1[0], b3[0], 1.0);  // both near the optimum, within the sampled spread
}

TEST(MetropolisHastings, EndlessRejectionsAreCapped) {
  // Only the very first evaluated point fits; every later one is far worse, so no trial of the
  // first cycle is ever accepted.
  const Data d = LineData();
  int evaluations = 0;
  const Vector lower{0, 0}, upper{1, 1};
  FitState state(Problem(
      [&](double x, std::span<const double>) { return ++evaluations <= 5 ? 1 + 2 * x : 1e3; },
      kNoDerivative, d, 1, lower, upper));
  Vector b{0, 0};
  Matrix v;
  EXPECT_EQ(kFitIterationLimit, MetropolisHastings(state, b, v, {4, 4}, 1000));
  EXPECT_LE(evaluations, 5 + 1000 * 5);  // trials outside the bounds never reach the model
}

TEST(MetropolisHastings, ChainStaysInsideTheBoundsWhereEverythingScoresTheBarrier) {
  // The model overflows everywhere, so every point inside scores 1e30 like every point
  // outside; trials outside must still be refused, and the barrier value is no fit.
  const Vector lower{-1, -1}, upper{1, 1};
  const Data d = LineData();
  const FitProblem p = Problem([](double, std::span<const double>) { return kHugeValue; },
                               kNoDerivative, d, 1, lower, upper);
  Vector b{0, 0};
  Matrix v;
  EXPECT_EQ(kFitNoFit, FitNonlinear(p, b, v, {kMethodMetropolisHastings, RandomSeed{6, 2}}));
  for (int j = 0; j <= 1; ++j) {
    EXPECT_GE(b[j], -1);
    EXPECT_LE(b[j], 1);
    EXPECT_GT(v[j][j], 0);  // the chain did move
    EXPECT_LT(v[j][j], 1);
  }
}

TEST(SimulatedAnnealing, OutOfRangeTrialsAreRedrawnInside) {
  // A trial outside the bounds would score the barrier without reaching the model. Counting
  // model calls shows that every trial was evaluated: the 50 start trials and 5 x 15 sweeps
  // over both coordinates per temperature, starting from a point next to the bounds with
  // steps of half the box, so many first trials fall outside.
  const Data d = LineData();
  const Vector lower{0.5, 1.5}, upper{1.5, 2.5};
  FitState state(Line(d, lower, upper));
  Vector b{0.6, 2.4};
  calls = 0;
  ASSERT_EQ(kFitOk, SimulatedAnnealing(state, b, {9, 9}));
  ASSERT_EQ(0, calls % d.n);
  const int trials = calls / d.n - 1 - 50;
  EXPECT_GT(trials, 0);
  EXPECT_EQ(0, trials % (5 * 15 * 2));
  EXPECT_NEAR(1, b[0], 0.01);
  EXPECT_NEAR(2, b[1], 0.01);
}

}  // namespace
}  // namespace quellar::numerics
