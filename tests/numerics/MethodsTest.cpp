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

// y = b0 + b1 x over slots 0..1, with a call counter.
struct Line {
  int calls = 0;
  FitProblem Problem(const Data& d, const Vector& lower, const Vector& upper) {
    FitProblem p;
    p.model = [this](double x, std::span<const double> b) {
      ++calls;
      return b[0] + b[1] * x;
    };
    p.derivative = [](double x, double, std::span<const double>, std::span<double> dv) {
      dv[0] = 1;
      dv[1] = x;
    };
    p.x = d.x;
    p.y = d.y;
    p.n = d.n;
    p.lb = 0;
    p.ub = 1;
    p.lower = lower;
    p.upper = upper;
    return p;
  }
};

const Vector kWide{-1e6, -1e6}, kWideUpper{1e6, 1e6};

Data LineData() {
  return test::Sample(5, 1.0, [](double x) { return 1 + 2 * x; });
}

TEST(FitState, ObjectiveIsExactly1e30OutOfBoundsAndNeverMore) {
  const Data d = LineData();
  Line line;
  const Vector lower{-10, -10}, upper{10, 10};
  FitState state(line.Problem(d, lower, upper));
  EXPECT_DOUBLE_EQ(0.0, state.Objective(Vector{1, 2}));
  EXPECT_DOUBLE_EQ(5.0, state.Objective(Vector{2, 2}));
  line.calls = 0;
  EXPECT_EQ(1e30, state.Objective(Vector{1, 10.5}));
  EXPECT_EQ(1e30, state.Objective(Vector{-10.5, 2}));
  EXPECT_EQ(0, line.calls);  // the model is not evaluated out of bounds

  // Residuals of 1e200 would square to infinity; the sum stops at the ceiling.
  const Vector hugeLower{-1e300, -1e300}, hugeUpper{1e300, 1e300};
  FitProblem p = line.Problem(d, hugeLower, hugeUpper);
  FitState huge(p);
  EXPECT_EQ(1e30, huge.Objective(Vector{1e200, 0}));
  EXPECT_EQ(1e30, huge.Objective(Vector{1e15, 0}));  // 5e30 > 1e30
  p.model = [](double, std::span<const double>) { return std::nan(""); };
  FitState nan(p);
  EXPECT_EQ(1e30, nan.Objective(Vector{1, 2}));
}

TEST(FitState, DerivativesUseTheValuesAtTheirOwnPoint) {
  const Data d = LineData();
  Line line;
  FitState state(line.Problem(d, kWide, kWideUpper));
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
  Line line;
  FitState state(line.Problem(d, kWide, kWideUpper));
  Vector b{1, 0};
  double f = state.Objective(b);
  const Vector p{0, 1};  // minimum at r = 2
  EXPECT_EQ(kFitOk, LineSearch(state, b, p, f));
  EXPECT_NEAR(2, b[1], 0.02);  // golden section stops at 1 % of the interior points
  EXPECT_EQ(1, b[0]);
  EXPECT_DOUBLE_EQ(state.Objective(b), f);
}

TEST(LineSearch, EndlessDescentIsCut) {
  // S = n / b0^2 falls for ever as b0 grows; there are no bounds to stop it.
  const Data d = test::Sample(3, 1.0, [](double) { return 0.0; });
  FitProblem p;
  p.model = [](double, std::span<const double> b) { return 1 / b[0]; };
  p.derivative = [](double, double, std::span<const double> b, std::span<double> dv) {
    dv[0] = -1 / (b[0] * b[0]);
  };
  const double inf = std::numeric_limits<double>::infinity();
  const Vector lower{-inf}, upper{inf};
  p.x = d.x, p.y = d.y, p.n = d.n, p.lb = 0, p.ub = 0, p.lower = lower, p.upper = upper;
  FitState state(p);
  Vector b{1};
  double f = state.Objective(b);
  EXPECT_EQ(kFitIterationLimit, LineSearch(state, b, Vector{1}, f));
  EXPECT_GT(b[0], 1e15);
  EXPECT_LT(f, 1e-30);
  // Whole fits on it end too, never with success and a non-finite coefficient.
  for (uint8_t method : {kMethodMarquardt, kMethodSimplex, kMethodBfgs}) {
    SCOPED_TRACE(int(method));
    Vector start{1};
    Matrix v;
    p.maxIter = 50;
    const int code = FitNonlinear(p, start, v, {method, {}});
    EXPECT_TRUE(code != kFitOk || std::isfinite(start[0])) << code;
  }
}

TEST(Marquardt, ExactlyLinearModelConverges) {
  const Data d = test::Sample(
      10, 0.5, [](double x) { return -3 + 0.25 * x; }, 0.1);
  Line line;
  const FitProblem p = line.Problem(d, kWide, kWideUpper);
  Vector b{10, 10};
  Matrix v;
  ASSERT_EQ(kFitOk, FitNonlinear(p, b, v, {kMethodMarquardt, {}}));
  // The final undamped Gauss-Newton step of a linear model is the exact least-squares solution.
  Vector exact(2);
  Matrix vv;
  models::Line fit;
  ASSERT_EQ(kFitOk, models::FitLine(std::span(d.x).subspan(1), std::span(d.y).subspan(1), {}, true,
                                    fit, &vv));
  EXPECT_NEAR(fit.a0, b[0], 1e-9);
  EXPECT_NEAR(fit.a1, b[1], 1e-9);
  // V is the inverse of the normal matrix.
  EXPECT_NEAR(vv[0][0], v[0][0], 1e-9);
  EXPECT_NEAR(vv[0][1], v[0][1], 1e-9);
  EXPECT_NEAR(vv[1][1], v[1][1], 1e-9);
  EXPECT_LT(line.calls, 100 * d.n);  // a handful of iterations, not a slow crawl
}

TEST(Marquardt, StartAtAPerfectFitSucceeds) {
  const Data d = LineData();
  Line line;
  Vector b{1, 2};
  Matrix v;
  EXPECT_EQ(kFitOk, FitNonlinear(line.Problem(d, kWide, kWideUpper), b, v, {kMethodMarquardt, {}}));
  EXPECT_DOUBLE_EQ(1, b[0]);
  EXPECT_DOUBLE_EQ(2, b[1]);
}

TEST(FitNonlinear, ParameterTheModelIgnoresMakesTheSystemSingular) {
  // Marquardt meets the zero column of the Gauss-Newton matrix at once, simplex in its
  // covariance step.
  const Data d = LineData();
  FitProblem p;
  p.model = [](double x, std::span<const double> b) { return b[0] * x; };
  p.derivative = [](double x, double, std::span<const double>, std::span<double> dv) {
    dv[0] = x;
    dv[1] = 0;
  };
  const Vector lower{-10, -10}, upper{10, 10};
  p.x = d.x, p.y = d.y, p.n = d.n, p.lb = 0, p.ub = 1, p.lower = lower, p.upper = upper;
  for (uint8_t method : {kMethodMarquardt, kMethodSimplex}) {
    SCOPED_TRACE(int(method));
    Vector b{1, 1};
    Matrix v;
    EXPECT_EQ(kFitSingular, FitNonlinear(p, b, v, {method, RandomSeed{3, 3}}));
  }
}

TEST(FitNonlinear, AllZeroDerivativesAfterSimplexOrAnnealingAreSingular) {
  const Data d = LineData();
  Line line;
  const Vector lower{-10, -10}, upper{10, 10};
  FitProblem p = line.Problem(d, lower, upper);
  p.derivative = [](double, double, std::span<const double>, std::span<double>) {};
  for (uint8_t method : {kMethodSimplex, kMethodAnnealing}) {
    SCOPED_TRACE(int(method));
    Vector b{0.8, 2.3};
    Matrix v;
    EXPECT_EQ(kFitSingular, FitNonlinear(p, b, v, {method, RandomSeed{8, 1}}));
    EXPECT_NEAR(1, b[0], 0.01);  // the search itself succeeded
    EXPECT_NEAR(2, b[1], 0.01);
  }
}

TEST(Simplex, ZeroStartCoordinateStillSpansTheSimplex) {
  // 1.5 b[j] would leave vertex j on b: a flat simplex that can never move coordinate j and
  // here stops at once on (0, 1.5). A zero coordinate is offset instead, inside the bounds.
  // Against a bound the search finds the best point inside, but that is no stationary point
  // of the sum of squares, so it does not report success.
  const Data d = LineData();
  for (const auto& [lower, upper] :
       {std::pair{kWide, kWideUpper}, std::pair{Vector{-0.2, -10}, Vector{0, 10}},
        std::pair{Vector{0, -10}, Vector{0.1, 10}}}) {
    Line line;
    Vector b{0, 1};
    Matrix v;
    const double best0 = std::clamp(1.0, lower[0], upper[0]);
    EXPECT_EQ(best0 == 1.0 ? kFitOk : kFitIterationLimit,
              FitNonlinear(line.Problem(d, lower, upper), b, v, {kMethodSimplex, {}}));
    // With b0 held at a bound the best slope is sum x (y - b0) / sum x^2.
    const double best1 = best0 == 1.0 ? 2.0 : (125.0 - 15.0 * best0) / 55.0;
    // Against a bound the simplex collapses onto the barrier; allow ten times Tol there.
    EXPECT_NEAR(best0, b[0], 0.01);
    EXPECT_NEAR(best1, b[1], 0.01);
  }
}

TEST(Bfgs, StartAtTheMinimumStopsAtOnce) {
  const Data d = LineData();
  Line line;
  Vector b{1, 2};
  Matrix v;
  ASSERT_EQ(kFitOk, FitNonlinear(line.Problem(d, kWide, kWideUpper), b, v, {kMethodBfgs, {}}));
  EXPECT_EQ(1, b[0]);
  EXPECT_EQ(2, b[1]);
  EXPECT_EQ(d.n, line.calls);  // one objective, no line search
  EXPECT_EQ(1, v[0][0]);       // H is still the identity
  EXPECT_EQ(0, v[0][1]);
}

TEST(FitNonlinear, MethodOutsideZeroToFourIsRefused) {
  const Data d = LineData();
  Line line;
  Vector b{0.5, 0.5};
  Matrix v;
  for (int method : {5, 7, 255}) {
    EXPECT_EQ(kFitNoSuchMethod,
              FitNonlinear(line.Problem(d, kWide, kWideUpper), b, v, {uint8_t(method), {}}));
  }
  EXPECT_EQ(0, line.calls);
  EXPECT_EQ(0.5, b[0]);
  EXPECT_EQ(0.5, b[1]);
}

TEST(FitNonlinear, NonFiniteDataIsRefusedByEveryMethod) {
  const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
  for (int which = 0; which < 3; ++which) {
    Data d = LineData();
    (which == 0 ? d.x[2] : d.y[3]) = which == 2 ? inf : nan;
    for (uint8_t method = 0; method <= 4; ++method) {
      SCOPED_TRACE(testing::Message() << "case " << which << " method " << int(method));
      Line line;
      Vector b{0.5, 0.5};
      Matrix v;
      EXPECT_EQ(kFitNonFinite,
                FitNonlinear(line.Problem(d, {-5, -5}, {5, 5}), b, v, {method, RandomSeed{1, 2}}));
      EXPECT_EQ(0.5, b[0]);
    }
  }
  // The stochastic methods draw inside the bounds, so theirs must be finite.
  const Data d = LineData();
  Line line;
  Vector b{0.5, 0.5};
  Matrix v;
  EXPECT_EQ(kFitNonFinite, FitNonlinear(line.Problem(d, {-5, -inf}, {5, 5}), b, v,
                                        {kMethodAnnealing, RandomSeed{1, 2}}));
  EXPECT_EQ(kFitOk,
            FitNonlinear(line.Problem(d, {-5, -inf}, {5, inf}), b, v, {kMethodMarquardt, {}}));
}

TEST(FitNonlinear, ShortStorageIsRefused) {
  const Data d = LineData();
  Line line;
  Vector b{0.5};  // slot 1 missing
  Matrix v;
  EXPECT_EQ(kFitBadArguments, FitNonlinear(line.Problem(d, kWide, kWideUpper), b, v));
  FitProblem p = line.Problem(d, kWide, kWideUpper);
  p.n = 9;  // more points than x holds
  Vector b2{0.5, 0.5};
  EXPECT_EQ(kFitBadArguments, FitNonlinear(p, b2, v));
}

TEST(MetropolisHastings, IgnoresTheStartAndDependsOnTheSeed) {
  const Data d = test::Sample(
      20, 0.25, [](double x) { return 1 + 2 * x; }, 0.5);
  Line line;
  const Vector lower{-2, 0}, upper{4, 4};
  const FitProblem p = line.Problem(d, lower, upper);
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
  int calls = 0;
  FitProblem p;
  p.model = [&](double x, std::span<const double>) { return ++calls <= 5 ? 1 + 2 * x : 1e3; };
  p.derivative = [](double, double, std::span<const double>, std::span<double>) {};
  const Vector lower{0, 0}, upper{1, 1};
  p.x = d.x, p.y = d.y, p.n = d.n, p.lb = 0, p.ub = 1, p.lower = lower, p.upper = upper;
  FitState state(p);
  Vector b{0, 0};
  Matrix v;
  EXPECT_EQ(kFitIterationLimit, MetropolisHastings(state, b, v, {4, 4}, 1000));
  EXPECT_LE(calls, 5 + 1000 * 5);  // trials outside the bounds never reach the model
}

TEST(MetropolisHastings, ChainStaysInsideTheBoundsWhereEverythingScoresTheBarrier) {
  // The model overflows everywhere, so every point inside scores 1e30 like every point
  // outside; trials outside must still be refused, and the barrier value is no fit.
  const Data d = LineData();
  FitProblem p;
  p.model = [](double, std::span<const double>) { return kHugeValue; };
  p.derivative = [](double, double, std::span<const double>, std::span<double>) {};
  const Vector lower{-1, -1}, upper{1, 1};
  p.x = d.x, p.y = d.y, p.n = d.n, p.lb = 0, p.ub = 1, p.lower = lower, p.upper = upper;
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

TEST(FitNonlinear, ResultOnTheBarrierIsNoFit) {
  // Every vertex of a simplex started outside the bounds scores 1e30; it collapses there and
  // would report convergence.
  const Data d = LineData();
  Line line;
  const Vector lower{-10, -10}, upper{10, 10};
  Vector b{50, 50};
  Matrix v;
  EXPECT_EQ(kFitNoFit, FitNonlinear(line.Problem(d, lower, upper), b, v, {kMethodSimplex, {}}));
}

TEST(MetropolisHastings, DegenerateBoundsGiveNoProposalScale) {
  const Data d = LineData();
  Line line;
  const Vector lower{0, 2}, upper{1, 2};  // zero width for slot 1
  Vector b{0, 0};
  Matrix v;
  EXPECT_EQ(kFitIterationLimit, FitNonlinear(line.Problem(d, lower, upper), b, v,
                                             {kMethodMetropolisHastings, RandomSeed{1, 1}}));
}

TEST(SimulatedAnnealing, OutOfRangeTrialsAreRedrawnInside) {
  // A trial outside the bounds would score the barrier without reaching the model. Counting
  // model calls shows that every trial was evaluated: the 50 start trials and 5 x 15 sweeps
  // over both coordinates per temperature, starting from a point next to the bounds with
  // steps of half the box, so many first trials fall outside.
  const Data d = LineData();
  int evaluations = 0;
  FitProblem p;
  const Vector lower{0.5, 1.5}, upper{1.5, 2.5};
  p.model = [&](double x, std::span<const double> b) {
    ++evaluations;
    return b[0] + b[1] * x;
  };
  p.derivative = [](double x, double, std::span<const double>, std::span<double> dv) {
    dv[0] = 1;
    dv[1] = x;
  };
  p.x = d.x, p.y = d.y, p.n = d.n, p.lb = 0, p.ub = 1, p.lower = lower, p.upper = upper;
  FitState state(p);
  Vector b{0.6, 2.4};
  ASSERT_EQ(kFitOk, SimulatedAnnealing(state, b, {9, 9}));
  ASSERT_EQ(0, evaluations % d.n);
  const int trials = evaluations / d.n - 1 - 50;
  EXPECT_GT(trials, 0);
  EXPECT_EQ(0, trials % (5 * 15 * 2));
  EXPECT_NEAR(1, b[0], 0.01);
  EXPECT_NEAR(2, b[1], 0.01);
}

}  // namespace
}  // namespace quellar::numerics
