// Every fitting method recovers known parameters of the four models the math object uses,
// called the way the math object calls the catalogue: estimate on, MaxIter 1000, Tol 0.001.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "FitData.h"

namespace quellar::numerics {
namespace {

using test::Data;
using test::Reference;

constexpr double kNoise = 0.05;

Data DataFor(const Reference& r, double sigma) {
  const auto f = [&](double x) { return r.f(x, r.truth); };
  // The Hill curve needs x well past its midpoint 3 to show its plateau.
  return r.model == kModelHill ? test::Sample(40, 0.25, f, sigma) : test::Sample(30, 0.1, f, sigma);
}

void CheckRecovery(uint8_t method) {
  for (const Reference& r : test::References()) {
    for (double sigma : {0.0, kNoise}) {
      SCOPED_TRACE(std::string(r.name) + (sigma > 0 ? " with noise" : " without noise"));
      const Data d = DataFor(r, sigma);
      Vector lower(3, -1e6), upper(3, 1e6);
      // Annealing redraws trials uniformly in the box and Metropolis-Hastings starts there with
      // proposals a sixth of its widths, so both get the box an experimenter would give:
      // every parameter between 0 and twice its value. Marquardt, simplex and BFGS get the
      // math object's +-1e6.
      if (method >= kMethodAnnealing) {
        for (int j = r.lb; j <= r.ub; ++j) lower[j] = 0, upper[j] = 2 * r.truth[j];
      }
      CatalogueFit fit;
      fit.model = r.model;
      fit.options = r.options;
      fit.x = d.x;
      fit.y = d.y;
      fit.n = d.n;
      fit.lower = lower;
      fit.upper = upper;
      Vector b(3, 0.0), yhat = NewVector(d.n), s = NewVector(d.n);
      Matrix v;
      RegressionStats stats;
      FitSettings settings{method, RandomSeed{5, 9}};
      ASSERT_EQ(kFitOk, FitCatalogueModel(fit, b, v, yhat, s, stats, settings));

      const auto err = test::UnitNoiseErrors(r, d);
      for (int j = r.lb; j <= r.ub; ++j) {
        // Deterministic methods and annealing stop once a step moves a parameter by less than
        // Tol = 0.1 % of its value, which leaves at most a few such steps of error: 1 %. Noise
        // of sd sigma moves the least-squares optimum itself by sigma * err[j] (err[j] is the
        // standard error for unit noise); 4 of those cover it.
        double tolerance = 0.01 * std::fabs(r.truth[j]) + 4 * sigma * err[j];
        // Metropolis-Hastings returns the mean of 100 draws of exp(-S/2), whose spread is
        // err[j] whatever the noise; successive draws are correlated, so allow 4 spreads.
        if (method == kMethodMetropolisHastings) tolerance += 4 * err[j];
        EXPECT_NEAR(r.truth[j], b[j], tolerance) << "slot " << j;
      }
      if (method != kMethodMetropolisHastings) {
        EXPECT_GT(stats.r2, 0.99);
      } else {
        // The sample covariance of the last cycle has the scale of the sampled spread; 100
        // correlated draws pin a variance down to within a factor of a few only.
        for (int j = r.lb; j <= r.ub; ++j) {
          const double ratio = v[j][j] / stats.residualVariance / (err[j] * err[j]);
          EXPECT_GT(ratio, 0.05) << "slot " << j;
          EXPECT_LT(ratio, 20) << "slot " << j;
        }
      }
    }
  }
}

TEST(FitCatalogueModel, EveryMethodRecoversKnownParameters) {
  for (uint8_t method = kMethodMarquardt; method <= kMethodMetropolisHastings; ++method) {
    SCOPED_TRACE(testing::Message() << "method " << int(method));
    CheckRecovery(method);
  }
}

// The catalogue's own estimate puts the stochastic methods close to the answer already; from a
// poor start (estimation off) annealing has to find the minimum itself.
TEST(FitNonlinear, AnnealingFindsMinimumFromPoorStart) {
  const Reference r = test::References()[1];  // exponential plus constant
  const Data d = test::Sample(30, 0.1, [&](double x) { return r.f(x, r.truth); });
  ModelEntry entry;
  ASSERT_EQ(kFitOk, DescribeModel(r.model, r.options, entry));
  Vector lower{0, 0, 0}, upper{4, 10, 1}, b{0.5, 9, 0.9};
  FitProblem p{entry.model, entry.derivative, d.x, d.y, {}, d.n, 0, 2, lower, upper, 1000, 0.001};
  Matrix v;
  ASSERT_EQ(kFitOk, FitNonlinear(p, b, v, {kMethodAnnealing, RandomSeed{21, 4}}));
  const auto err = test::UnitNoiseErrors(r, d);
  // Noise-free: within a few of the final annealing steps (Tol of each value) of the truth,
  // scaled by how strongly the parameters are correlated (err relative to the amplitude's).
  for (int j = 0; j <= 2; ++j)
    EXPECT_NEAR(r.truth[j], b[j], 0.01 * r.truth[j] * std::max(1.0, err[j] / err[1]));
}

}  // namespace
}  // namespace quellar::numerics
