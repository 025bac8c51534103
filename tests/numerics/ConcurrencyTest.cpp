// Fits hold their whole state per call: two fits on two threads, and a fit started from inside
// another fit's model callback, give exactly the results they give alone.
#include <gtest/gtest.h>

#include <thread>

#include "FitData.h"

namespace quellar::numerics {
namespace {

struct Outcome {
  int code = 1;
  Vector b;
  bool operator==(const Outcome&) const = default;
};

// Exponential plus constant through the catalogue with the given method and seed.
Outcome CatalogueFitWith(uint8_t method, RandomSeed seed, double amplitude) {
  const test::Data d = test::Sample(
      30, 0.1, [&](double x) { return 2 + amplitude * std::exp(-0.5 * x); }, 0.05, seed);
  const Vector lower{0, 0, 0}, upper{4, 2 * amplitude, 1};
  CatalogueFit fit;
  fit.model = kModelSumOfExponentials;
  const std::vector<double> options{1, 1};
  fit.options = options;
  fit.x = d.x, fit.y = d.y, fit.n = d.n, fit.lower = lower, fit.upper = upper;
  Outcome out{0, Vector(3, 0.0)};
  Vector yhat = NewVector(d.n), s = NewVector(d.n);
  Matrix v;
  RegressionStats stats;
  out.code = FitCatalogueModel(fit, out.b, v, yhat, s, stats, {method, seed});
  return out;
}

TEST(FitNonlinear, TwoThreadsFitIndependently) {
  const Outcome annealing = CatalogueFitWith(kMethodAnnealing, {12, 34}, 5);
  const Outcome sampling = CatalogueFitWith(kMethodMetropolisHastings, {56, 78}, 8);
  const Outcome marquardt = CatalogueFitWith(kMethodMarquardt, {1, 2}, 3);
  ASSERT_EQ(kFitOk, annealing.code);
  ASSERT_EQ(kFitOk, sampling.code);
  ASSERT_EQ(kFitOk, marquardt.code);

  Outcome a[4], s[4], m[4];
  std::thread first([&] {
    for (int i = 0; i < 4; ++i) {
      a[i] = CatalogueFitWith(kMethodAnnealing, {12, 34}, 5);
      m[i] = CatalogueFitWith(kMethodMarquardt, {1, 2}, 3);
    }
  });
  std::thread second([&] {
    for (int i = 0; i < 4; ++i) {
      s[i] = CatalogueFitWith(kMethodMetropolisHastings, {56, 78}, 8);
      // Selecting a method meanwhile does not disturb fits that name their own.
      SetFittingMethod(GetFittingMethod());
    }
  });
  first.join();
  second.join();
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(annealing, a[i]) << i;
    EXPECT_EQ(sampling, s[i]) << i;
    EXPECT_EQ(marquardt, m[i]) << i;
  }
}

TEST(FitNonlinear, FitInsideAModelCallbackLeavesTheOuterFitAlone) {
  const Outcome innerAlone = CatalogueFitWith(kMethodMetropolisHastings, {3, 5}, 8);
  const test::Data d = test::Sample(
      30, 0.1, [](double x) { return 1 + 4 * std::exp(-0.7 * x); }, 0.05);
  ModelEntry entry;
  const std::vector<double> options{1, 1};
  ASSERT_EQ(kFitOk, DescribeModel(kModelSumOfExponentials, options, entry));
  const Vector lower{0, 0, 0}, upper{3, 8, 2};
  int nested = 0;
  auto run = [&](bool nest, Outcome& inner) {
    int calls = 0;
    FitProblem p;
    p.model = [&](double x, std::span<const double> b) {
      // A client handler that starts another fit now and then during the outer one: at the
      // start, mid-way through the first temperatures and later in the annealing.
      ++calls;
      if (nest && (calls == 1 || calls == 777 || calls == 20000)) {
        inner = CatalogueFitWith(kMethodMetropolisHastings, {3, 5}, 8);
        ++nested;
      }
      return entry.model(x, b);
    };
    p.derivative = entry.derivative;
    p.x = d.x, p.y = d.y, p.n = d.n, p.lb = 0, p.ub = 2, p.lower = lower, p.upper = upper;
    Outcome out{0, Vector{0.5, 3, 1}};
    Matrix v;
    out.code = FitNonlinear(p, out.b, v, {kMethodAnnealing, RandomSeed{7, 7}});
    return out;
  };
  Outcome unused, inner;
  const Outcome outerAlone = run(false, unused);
  ASSERT_EQ(kFitOk, outerAlone.code);
  const Outcome outerNested = run(true, inner);
  EXPECT_EQ(3, nested);
  EXPECT_EQ(outerAlone, outerNested);
  EXPECT_EQ(innerAlone, inner);
}

}  // namespace
}  // namespace quellar::numerics
