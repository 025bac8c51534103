// Every fitting method recovers known parameters of the four models the math object uses,
// called the way the math object calls the catalogue: estimate on, MaxIter 1000, Tol 0.001.
// Fits hold their whole state per call: fits on several threads, and a fit started from inside
// another fit's model callback, give exactly the results they give alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <thread>

#include "FitData.h"
#include "numerics/matrices.h"

namespace quellar::numerics {
namespace {

using test::Data;

// A catalogue model with its value written out here, independently of the library.
struct Reference {
  const char* name;
  int model;
  std::vector<double> options;
  int lb, ub;
  Vector truth;
  double (*f)(double x, const Vector& b);
};

double Exponentials(double x, const Vector& b) {
  return b[0] + b[1] * std::exp(-b[2] * x);
}
double Power(double x, const Vector& b) {
  return b[0] * std::pow(x, b[1]);
}
double Hill(double x, const Vector& b) {
  return b[0] / (1 + std::pow(b[1] / x, b[2]));
}

// Slot 0 of the plain exponential is not the model's: it stays 0.
const Reference kReferences[] = {
    {"Exponential", kModelSumOfExponentials, {1, 0}, 1, 2, {0, 5, 0.5}, Exponentials},
    {"ExponentialPlusConstant", kModelSumOfExponentials, {1, 1}, 0, 2, {2, 5, 0.5}, Exponentials},
    {"Power", kModelPower, {}, 0, 1, {3, 1.5, 0}, Power},
    {"Hill", kModelHill, {}, 0, 2, {10, 3, 2}, Hill},
};

// sqrt(diag((J^T J)^-1)) at the true parameters over the slots lb..ub: the standard error of
// each parameter for unit noise, which is also the spread of exp(-S/2) that
// Metropolis-Hastings samples.
Vector UnitNoiseErrors(const Reference& r, const Data& d) {
  Matrix a(2, 2), inv;
  for (int i = 1; i <= d.n; ++i) {
    double g[3] = {};
    for (int j = r.lb; j <= r.ub; ++j) {
      Vector up = r.truth, down = r.truth;
      const double h = 1e-6 * r.truth[j];
      up[j] += h, down[j] -= h;
      g[j] = (r.f(d.x[i], up) - r.f(d.x[i], down)) / (2 * h);
    }
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
  // The Hill curve needs x well past its midpoint 3 to show its plateau.
  return r.model == kModelHill ? test::Sample(40, 0.25, f, sigma) : test::Sample(30, 0.1, f, sigma);
}

TEST(FitCatalogueModel, EveryMethodRecoversKnownParameters) {
  for (uint8_t method = kMethodMarquardt; method <= kMethodMetropolisHastings; ++method) {
    for (const Reference& r : kReferences) {
      for (double sigma : {0.0, 0.05}) {
        SCOPED_TRACE(testing::Message()
                     << "method " << int(method) << " " << r.name << " noise " << sigma);
        const Data d = DataFor(r, sigma);
        // Annealing redraws trials uniformly in the box and Metropolis-Hastings starts there
        // with proposals a sixth of its widths, so both get the box an experimenter would give:
        // every parameter between 0 and twice its value. The others get the object's +-1e6.
        Vector lower(3, -1e6), upper(3, 1e6);
        if (method >= kMethodAnnealing) {
          for (int j = r.lb; j <= r.ub; ++j) lower[j] = 0, upper[j] = 2 * r.truth[j];
        }
        CatalogueFit fit;
        fit.model = r.model, fit.options = r.options, fit.lower = lower, fit.upper = upper;
        const test::CatalogueRun run = test::RunCatalogue(fit, d, {method, RandomSeed{5, 9}});
        ASSERT_EQ(kFitOk, run.code);

        const Vector err = UnitNoiseErrors(r, d);
        for (int j = r.lb; j <= r.ub; ++j) {
          // Deterministic methods and annealing stop once a step moves a parameter by less
          // than Tol = 0.1 % of its value, which leaves at most a few such steps of error: 1 %.
          // Noise of sd sigma moves the optimum itself by sigma * err[j]; 4 of those cover it.
          double tolerance = 0.01 * std::fabs(r.truth[j]) + 4 * sigma * err[j];
          // Metropolis-Hastings returns the mean of 100 draws of exp(-S/2), whose spread is
          // err[j] whatever the noise; successive draws are correlated, so allow 4 spreads.
          if (method == kMethodMetropolisHastings) tolerance += 4 * err[j];
          EXPECT_NEAR(r.truth[j], run.b[j], tolerance) << "slot " << j;
          if (method == kMethodMetropolisHastings) {
            // The sample covariance of the last cycle has the scale of the sampled spread; 100
            // correlated draws pin a variance down to within a factor of a few only.
            const double ratio = run.v[j][j] / run.stats.residualVariance / (err[j] * err[j]);
            EXPECT_GT(ratio, 0.05) << "slot " << j;
            EXPECT_LT(ratio, 20) << "slot " << j;
          }
        }
        if (method != kMethodMetropolisHastings) {
          EXPECT_GT(run.stats.r2, 0.99);
        }
      }
    }
  }
}

// The catalogue's own estimate puts the stochastic methods close to the answer already; from a
// poor start (estimation off) annealing has to find the minimum itself.
TEST(FitNonlinear, AnnealingFindsMinimumFromPoorStart) {
  const Reference& r = kReferences[1];  // exponential plus constant
  const Data d = DataFor(r, 0);
  ModelEntry entry;
  ASSERT_EQ(kFitOk, DescribeModel(r.model, r.options, entry));
  Vector lower{0, 0, 0}, upper{4, 10, 1}, b{0.5, 9, 0.9};
  Matrix v;
  ASSERT_EQ(kFitOk, FitNonlinear(test::Problem(entry.model, entry.derivative, d, 2, lower, upper),
                                 b, v, {kMethodAnnealing, RandomSeed{21, 4}}));
  const Vector err = UnitNoiseErrors(r, d);
  // Noise-free: within a few of the final annealing steps (Tol of each value) of the truth,
  // scaled by how strongly the parameters are correlated (err relative to the amplitude's).
  for (int j = 0; j <= 2; ++j)
    EXPECT_NEAR(r.truth[j], b[j], 0.01 * r.truth[j] * std::max(1.0, err[j] / err[1]));
}

// Exponential plus constant through the catalogue; the coefficients followed by the code.
Vector CatalogueFitWith(uint8_t method, RandomSeed seed, double amplitude) {
  const test::Data d = test::Sample(
      30, 0.1, [&](double x) { return 2 + amplitude * std::exp(-0.5 * x); }, 0.05, seed);
  const Vector lower{0, 0, 0}, upper{4, 2 * amplitude, 1};
  const std::vector<double> options{1, 1};
  CatalogueFit fit;
  fit.model = kModelSumOfExponentials, fit.options = options, fit.lower = lower, fit.upper = upper;
  test::CatalogueRun r = test::RunCatalogue(fit, d, {method, seed});
  r.b.push_back(r.code);
  return r.b;
}

TEST(FitNonlinear, ConcurrentFitsGiveTheirSerialResults) {
  const std::pair<uint8_t, RandomSeed> runs[] = {{kMethodAnnealing, {12, 34}},
                                                 {kMethodMetropolisHastings, {56, 78}},
                                                 {kMethodMarquardt, {1, 2}}};
  Vector alone[3], got[3][3];
  for (int k = 0; k < 3; ++k) alone[k] = CatalogueFitWith(runs[k].first, runs[k].second, 3 + k);
  std::vector<std::thread> threads;
  for (int k = 0; k < 3; ++k) {
    threads.emplace_back([&, k] {
      for (Vector& b : got[k]) {
        b = CatalogueFitWith(runs[k].first, runs[k].second, 3 + k);
        // Selecting a method meanwhile does not disturb fits that name their own.
        SetFittingMethod(GetFittingMethod());
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(kFitOk, alone[k].back()) << k;
    for (const Vector& b : got[k]) EXPECT_EQ(alone[k], b) << k;
  }
}

TEST(FitNonlinear, FitInsideAModelCallbackLeavesTheOuterFitAlone) {
  const Vector innerAlone = CatalogueFitWith(kMethodMetropolisHastings, {3, 5}, 8);
  const test::Data d = test::Sample(
      30, 0.1, [](double x) { return 1 + 4 * std::exp(-0.7 * x); }, 0.05);
  ModelEntry entry;
  const std::vector<double> options{1, 1};
  ASSERT_EQ(kFitOk, DescribeModel(kModelSumOfExponentials, options, entry));
  const Vector lower{0, 0, 0}, upper{3, 8, 2};
  int nested = 0;
  auto run = [&](bool nest, Vector& inner) {
    int calls = 0;
    const auto model = [&](double x, std::span<const double> b) {
      // A client handler that starts another fit now and then during the outer one: at the
      // start, mid-way through the first temperatures and later in the annealing.
      ++calls;
      if (nest && (calls == 1 || calls == 777 || calls == 20000)) {
        inner = CatalogueFitWith(kMethodMetropolisHastings, {3, 5}, 8);
        ++nested;
      }
      return entry.model(x, b);
    };
    Vector b{0.5, 3, 1};
    Matrix v;
    b.push_back(FitNonlinear(test::Problem(model, entry.derivative, d, 2, lower, upper), b, v,
                             {kMethodAnnealing, RandomSeed{7, 7}}));
    return b;
  };
  Vector unused, inner;
  const Vector outerAlone = run(false, unused);
  ASSERT_EQ(kFitOk, outerAlone.back());
  const Vector outerNested = run(true, inner);
  EXPECT_EQ(3, nested);
  EXPECT_EQ(outerAlone, outerNested);
  EXPECT_EQ(innerAlone, inner);
}

}  // namespace
}  // namespace quellar::numerics
