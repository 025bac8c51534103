#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "FitData.h"
#include "numerics/matrices.h"
#include "numerics/mcmc.h"
#include "numerics/models/estimates.h"
#include "numerics/optim.h"
#include "numerics/random.h"
#include "numerics/simopt.h"

namespace quellar::numerics {
namespace {

using test::Data;
using test::Problem;

const double kInf = std::numeric_limits<double>::infinity();
const Vector kWide{-1e6, -1e6}, kWideUpper{1e6, 1e6}, kBox{-10, -10}, kBoxUpper{10, 10};
int calls = 0;  // model evaluations of the line

const Data kLine = test::Sample(5, 1.0, [](double x) { return 1 + 2 * x; });
// y = b0 + b1 x over slots 0..1.
FitProblem Line(const Vector& lower = kWide, const Vector& upper = kWideUpper,
                const Data& d = kLine) {
  return Problem(
      [](double x, std::span<const double> b) { return ++calls, b[0] + b[1] * x; },
      [](double x, double, std::span<const double>, std::span<double> dv) { dv[0] = 1, dv[1] = x; },
      d, 1, lower, upper);
}

const auto kNoDerivative = [](double, double, std::span<const double>, std::span<double>) {};

TEST(GuardedFunctions, ExpAndPowerClipAtTheLimitsAndFlagIt) {
  const struct {
    double x, e, expected;  // e NaN: Exp(x)
    unsigned flags;
  } cases[] = {{-708.39, NAN, std::exp(-708.39), 0},
               {-708.3964185322642, NAN, 0, kMathUnderflow},
               {709.78, NAN, std::exp(709.78), 0},
               {709.782712893385, NAN, kHugeValue, kMathOverflow},
               {-2, 3, -8, 0},
               {-2, -2, 0.25, 0},
               {-1, 2147483647, -1, 0},
               {4, 0.5, 2, 0},
               {-2, 0.5, 0, kMathDomain},
               {0, 0.5, 0, kMathDomain},
               {10, 400.5, kHugeValue, kMathOverflow},
               {10, -400.5, 0, kMathUnderflow},
               {0, -1, kHugeValue, kMathOverflow},
               {1e200, 2, kHugeValue, kMathOverflow}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.x << "^" << c.e);
    ClearMathErrors();
    EXPECT_DOUBLE_EQ(c.expected, std::isnan(c.e) ? Exp(c.x) : Power(c.x, c.e));
    EXPECT_EQ(c.flags, MathErrors());
  }
  Exp(-800);  // the flags accumulate until cleared
  EXPECT_EQ(kMathUnderflow | kMathOverflow, MathErrors());
  ClearMathErrors();
}

TEST(IncompleteBeta, MatchesClosedForms) {
  for (double x : {0.0, 0.1, 0.5, 0.93, 1.0}) {
    EXPECT_NEAR(std::pow(x, 3.5), IncompleteBeta(3.5, 1, x), 1e-12);
    EXPECT_NEAR(1 - std::pow(1 - x, 2.5), IncompleteBeta(1, 2.5, x), 1e-12);
  }
  // Large arguments, as F tests on thousands of points give.
  EXPECT_NEAR(0.5, IncompleteBeta(2500, 2500, 0.5), 1e-10);
  EXPECT_NEAR(std::pow(0.999, 2499), IncompleteBeta(2499, 1, 0.999), 1e-10);
}

// A 3x3 system placed at slots 1..3; slot 0 must stay untouched.
Matrix SlotMatrix(const double (&a)[3][3]) {
  Matrix m(3, 3);
  for (int i = 0; i <= 3; ++i) m[0][i] = m[i][0] = 99;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) m[i + 1][j + 1] = a[i][j];
  return m;
}

TEST(GaussJordan, SolvesAndInvertsOverTheSlotRangeAndRefusesSmallPivots) {
  const Matrix a = SlotMatrix({{0, 2, 1}, {1, 1, 0}, {3, 0, 4}});  // zero first pivot
  const Vector rhs{7, 10, 4, 19};                                  // x = (1, 3, 4) at slots 1..3
  Vector x(4, -5);
  Matrix inv(3, 3), inv2;
  inv[0][0] = 42;
  ASSERT_EQ(kFitOk, GaussJordan(a, rhs, 1, 3, x, inv));
  ASSERT_EQ(kFitOk, Invert(a, 1, 3, inv2));
  EXPECT_TRUE(x[0] == -5 && inv[0][0] == 42);  // slot 0 untouched
  for (int i = 1; i <= 3; ++i) {
    EXPECT_NEAR(i == 1 ? 1 : i + 1, x[i], 1e-12);  // (1, 3, 4)
    for (int j = 1; j <= 3; ++j) {
      double s = 0;
      for (int k = 1; k <= 3; ++k) s += a[i][k] * inv[k][j];
      EXPECT_NEAR(i == j ? 1.0 : 0.0, s, 1e-12);
      EXPECT_NEAR(inv[i][j], inv2[i][j], 1e-15);
    }
  }
  const Matrix dependent = SlotMatrix({{1, 2, 3}, {2, 4, 6}, {1, 0, 1}});
  Vector ones(4, 1.0);
  EXPECT_EQ(kFitSingular, GaussJordan(dependent, ones, 1, 3, x, inv));
  EXPECT_EQ(kFitSingular, Invert(dependent, 1, 3, inv));
  // MachineEpsilon is the smallest pivot taken.
  EXPECT_EQ(kFitSingular,
            GaussJordan(SlotMatrix({{1e-16, 0, 0}, {0, 1, 0}, {0, 0, 1}}), ones, 1, 3, x, inv));
  EXPECT_EQ(kFitOk,
            GaussJordan(SlotMatrix({{1e-15, 0, 0}, {0, 1, 0}, {0, 0, 1}}), ones, 1, 3, x, inv));
  EXPECT_NEAR(1e15, x[1], 1);
}

TEST(Cholesky, FactorsPositiveDefiniteAndRefusesTheRest) {
  const Matrix a = SlotMatrix({{4, 2, -2}, {2, 10, 2}, {-2, 2, 6}});
  Matrix l;
  ASSERT_EQ(kFitOk, Cholesky(a, 1, 3, l));
  const double expected[3][3] = {{2, 0, 0}, {1, 3, 0}, {-1, 1, 2}};
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(expected[i / 3][i % 3], l[i / 3 + 1][i % 3 + 1], 1e-12);
  EXPECT_EQ(kFitIterationLimit, Cholesky(SlotMatrix({{1, 2, 0}, {2, 1, 0}, {0, 0, 1}}), 1, 3, l));
  EXPECT_EQ(kFitIterationLimit, Cholesky(SlotMatrix({{0, 0, 0}, {0, 1, 0}, {0, 0, 1}}), 1, 3, l));
}

TEST(VectorStatistics, MedianAndMaxAbsOverTheRange) {
  const Vector v{100, 3, -7, 1, 5, -100};
  EXPECT_TRUE(Median(v, 1, 4) == 2 && Median(v, 1, 3) == 1);  // mean of the middle two when even
  EXPECT_TRUE(MaxAbs(v, 1, 4) == 7 && MaxAbs(v, 3, 2) == 0);
}

TEST(TRandom, SeededDrawsCachedBoxMullerPairsAndClockSeeds) {
  TRandom r({1, 1});
  EXPECT_EQ(1179678903, r.Next());
  r.Seed({1, 1});
  EXPECT_EQ((1179678903 + 2147483648.0) / 4294967296.0, r.Uniform());
  TRandom normal({77, 5}), twin({77, 5});
  const double u1 = twin.Uniform(), u2 = twin.Uniform();
  const double radius = std::sqrt(-2 * std::log(u1)), angle = 2 * M_PI * u2;
  EXPECT_DOUBLE_EQ(radius * std::cos(angle), normal.Normal());
  EXPECT_DOUBLE_EQ(radius * std::sin(angle), normal.Normal());
  EXPECT_DOUBLE_EQ(twin.Normal(), normal.Normal());  // the pair is used up: a fresh one
  for (int i = 0; i < 1000; ++i) {
    const RandomSeed s = ClockSeed(), t = ClockSeed();
    ASSERT_TRUE(s.s1 >= 1 && s.s1 <= 9999 && s.s2 >= 1 && s.s2 <= 9999) << s.s1 << " " << s.s2;
    ASSERT_TRUE(s.s1 != t.s1 || s.s2 != t.s2);
  }
}

// The problem with a sweep built from its own model and derivative, when swept.
FitProblem WithSweep(FitProblem p, bool swept) {
  if (swept)
    p.sweep = [m = p.model, d = p.derivative](std::span<const double> x, std::span<const double> b,
                                              std::span<double> y, std::span<double> dv,
                                              std::size_t width) {
      models::SweepPoints(m, d, x, b, y, dv, width);
    };
  return p;
}

TEST(FitState, ObjectiveStopsAt1e30AndDerivativesUseTheirOwnPoint) {
  for (const bool swept : {false, true}) {
    SCOPED_TRACE(swept ? "through a sweep" : "point by point");
    FitState state(WithSweep(Line(kBox, kBoxUpper), swept));
    EXPECT_DOUBLE_EQ(0.0, state.Objective(Vector{1, 2}));
    EXPECT_DOUBLE_EQ(5.0, state.Objective(Vector{2, 2}));
    calls = 0;
    EXPECT_EQ(1e30, state.Objective(Vector{1, 10.5}));
    EXPECT_EQ(1e30, state.Objective(Vector{-10.5, 2}));
    EXPECT_EQ(0, calls);  // the model is not evaluated out of bounds

    // Residuals of 1e200 would square to infinity; the sum stops at the ceiling.
    const Vector hugeLower{-1e300, -1e300}, hugeUpper{1e300, 1e300};
    FitProblem p = Line(hugeLower, hugeUpper);
    FitState huge(WithSweep(p, swept));
    EXPECT_EQ(1e30, huge.Objective(Vector{1e200, 0}));
    EXPECT_EQ(1e30, huge.Objective(Vector{1e15, 0}));  // 5e30 > 1e30
    p.model = [](double, std::span<const double>) { return std::nan(""); };
    EXPECT_EQ(1e30, FitState(WithSweep(p, swept)).Objective(Vector{1, 2}));

    // Residuals y - yhat at (0.5, 1.5) are 0.5 + 0.5 x: sums 10 against 1 and 35 against x.
    const Vector at{0.5, 1.5};
    Vector g(2), g2(2);
    state.Gradient(at, g);
    EXPECT_TRUE(g[0] == -20 && g[1] == -70);
    // An objective evaluated elsewhere in between must not leak into the derivatives.
    state.Objective(Vector{7, -3});
    Matrix a;
    state.GaussNewton(at, g2, a);
    EXPECT_TRUE(g2[0] == -10 && g2[1] == -35);  // and the sums of 1, x, x^2
    EXPECT_TRUE(a[0][0] == kLine.n && a[0][1] == 15 && a[1][0] == 15 && a[1][1] == 55);
  }
}

// A long-running host keeps at most the bound of point arrays after a fit of millions of points.
TEST(FitState, ArraysKeptAfterAHugeFitAreBounded) {
  const Data big = test::Sample(1500000, 1e-6, [](double x) { return 1 + 2 * x; });
  Vector b{0, 0};
  Matrix v;
  EXPECT_EQ(kFitOk, FitNonlinear(Line(kWide, kWideUpper, big), b, v, {kMethodMarquardt, {}}));
  EXPECT_NEAR(2, b[1], 1e-6);
  EXPECT_LE(PooledFitBytes(), kMaxPooledFitBytes);
}

TEST(LineSearch, FindsTheMinimumAndCutsEndlessDescent) {
  FitState lineState(Line());
  Vector r{1, 0};
  double s = lineState.Objective(r);
  EXPECT_EQ(kFitOk, LineSearch(lineState, r, Vector{0, 1}, s));  // minimum at r = 2
  EXPECT_NEAR(2, r[1], 0.02);  // golden section stops at 1 % of the interior points
  EXPECT_TRUE(r[0] == 1 && lineState.Objective(r) == s);
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
  EXPECT_TRUE(b[0] > 1e15 && f < 1e-30) << b[0];
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
  ASSERT_EQ(kFitOk, FitNonlinear(Line(kWide, kWideUpper, d), b, v, {kMethodMarquardt, {}}));
  // The last undamped step of a linear model is the exact solution; V the inverse normal matrix.
  models::Line fit;
  const auto tail = [](const Vector& v) { return std::span(v).subspan(1); };
  ASSERT_EQ(kFitOk, models::FitLine(tail(d.x), tail(d.y), {}, true, fit, &vv));
  for (int j = 0; j <= 1; ++j) {
    EXPECT_NEAR(j ? fit.a1 : fit.a0, b[j], 1e-9);
    EXPECT_NEAR(vv[0][j], v[0][j], 1e-9);
    EXPECT_NEAR(vv[1][j], v[1][j], 1e-9);
  }
  EXPECT_LT(calls, 100 * d.n);  // a handful of iterations, not a slow crawl
}

TEST(FitNonlinear, CodesAndCoefficientsOfTheEdgeCases) {
  Data bad[3] = {kLine, kLine, kLine};
  bad[0].x[2] = std::nan(""), bad[1].y[3] = std::nan(""), bad[2].y[3] = kInf;
  const Vector lo5{-5, -5}, hi5{5, 5}, loInf{-5, -kInf}, hiInf{5, kInf};
  const Vector lo1{-0.2, -10}, hi1{0, 10}, lo2{0, -10}, hi2{0.1, 10}, lo3{0, 2}, hi3{1, 2};
  // A parameter the model ignores gives a zero column of the Gauss-Newton matrix.
  const FitProblem ignored = Problem(
      [](double x, std::span<const double> b) { return b[0] * x; },
      [](double x, double, std::span<const double>, std::span<double> dv) { dv[0] = x, dv[1] = 0; },
      kLine, 1, kBox, kBoxUpper);
  FitProblem flat = Line(kBox, kBoxUpper), past = Line(lo5, hi5);
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
      {"start at the minimum", Line(), {1, 2}, kM, kFitOk, {1, 2}, 1e-12},
      {"start at the minimum", Line(), {1, 2}, kMethodBfgs, kFitOk, {1, 2}, 0},
      {"ignored parameter", ignored, {1, 1}, kM, kFitSingular},
      {"ignored parameter", ignored, {1, 1}, kS, kFitSingular},
      {"zero derivatives", flat, {0.8, 2.3}, kS, kFitSingular, {1, 2}, 0.01},
      {"zero derivatives", flat, {0.8, 2.3}, kA, kFitSingular, {1, 2}, 0.01},
      // A zero coordinate of the first simplex is offset inside the bounds. Against a bound
      // the best point is no stationary point: no success, slope sum x (y - b0) / sum x^2.
      {"zero start", Line(), {0, 1}, kS, kFitOk, {1, 2}, 0.01},
      {"zero start", Line(lo1, hi1), {0, 1}, kS, kFitIterationLimit, {0, 125.0 / 55}, 0.01},
      {"zero start", Line(lo2, hi2), {0, 1}, kS, kFitIterationLimit, {0.1, 123.5 / 55}, 0.01},
      {"outside the bounds", Line(kBox, kBoxUpper), {50, 50}, kS, kFitNoFit},
      {"zero-width bounds", Line(lo3, hi3), {0, 0}, 4, kFitIterationLimit},
      {"method 5", Line(), half, 5, kFitNoSuchMethod, keep},
      {"short b", Line(), {0.5}, kM, kFitBadArguments, keep},
      {"n past x", past, half, kM, kFitBadArguments, keep},
      {"infinite bound", Line(loInf, hi5), half, kA, kFitNonFinite, keep},
      {"infinite bounds", Line(loInf, hiInf), half, kM, kFitOk, {1, 2}, 1e-6},
  };
  for (const Data& x : bad)
    for (uint8_t method = 0; method <= 4; ++method)
      cases.push_back({"non-finite data", Line(lo5, hi5, x), half, method, kFitNonFinite, keep});
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.name << ", method " << int(c.method));
    Vector b = c.start;
    Matrix v;
    calls = 0;
    EXPECT_EQ(c.want, FitNonlinear(c.p, b, v, {c.method, RandomSeed{1, 2}}));
    for (size_t j = 0; j < c.b.size(); ++j)
      EXPECT_NEAR(std::isnan(c.b[j]) ? c.start[j] : c.b[j], b[j], c.tolerance) << j;
    EXPECT_TRUE(c.b.empty() || !std::isnan(c.b[0]) || calls == 0) << calls;
    // BFGS at the minimum: one objective, no line search; H is still the identity.
    EXPECT_TRUE(c.method != kMethodBfgs || c.want != kFitOk ||
                (calls == kLine.n && v[0][0] == 1 && v[0][1] == 0));
  }
}

TEST(MetropolisHastings, CapsEndlessRejectionsAndKeepsTheChainInsideTheBounds) {
  // Only the very first evaluated point fits, so no trial of the first cycle is accepted.
  int evaluations = 0;
  const Vector lower{0, 0}, upper{1, 1}, minusOne{-1, -1};
  FitState state(Problem(
      [&](double x, std::span<const double>) { return ++evaluations <= 5 ? 1 + 2 * x : 1e3; },
      kNoDerivative, kLine, 1, lower, upper));
  Vector b{0, 0};
  Matrix v;
  EXPECT_EQ(kFitIterationLimit, MetropolisHastings(state, b, v, {4, 4}, 1000));
  EXPECT_LE(evaluations, 5 + 1000 * 5);  // trials outside the bounds never reach the model
  // Every point scores the barrier, inside and out; trials outside must still be refused.
  const FitProblem p = Problem([](double, std::span<const double>) { return kHugeValue; },
                               kNoDerivative, kLine, 1, minusOne, upper);
  b = {0, 0};
  EXPECT_EQ(kFitNoFit, FitNonlinear(p, b, v, {kMethodMetropolisHastings, RandomSeed{6, 2}}));
  EXPECT_TRUE(b[0] >= -1 && b[0] <= 1 && b[1] >= -1 && b[1] <= 1) << b[0] << " " << b[1];
  EXPECT_TRUE(v[0][0] > 0 && v[0][0] < 1 && v[1][1] > 0 && v[1][1] < 1);  // the chain did move
}

TEST(SimulatedAnnealing, OutOfRangeTrialsAreRedrawnInside) {
  // Trials outside the bounds are redrawn, never scored without the model: the calls count
  // the 50 start trials and 5 x 15 sweeps of both coordinates per temperature.
  const Vector lower{0.5, 1.5}, upper{1.5, 2.5};
  FitState state(Line(lower, upper));
  Vector b{0.6, 2.4};
  calls = 0;
  ASSERT_EQ(kFitOk, SimulatedAnnealing(state, b, {9, 9}));
  ASSERT_EQ(0, calls % kLine.n);
  const int trials = calls / kLine.n - 1 - 50;
  EXPECT_TRUE(trials > 0 && trials % (5 * 15 * 2) == 0) << trials;
  EXPECT_TRUE(std::fabs(b[0] - 1) < 0.01 && std::fabs(b[1] - 2) < 0.01) << b[0] << " " << b[1];
}

}  // namespace
}  // namespace quellar::numerics
