#include "numerics/models/catalogue.h"

#include <cmath>

#include "numerics/models/estimates.h"

namespace quellar::numerics {

using namespace models;

const char* const kModelNames[kModelCount] = {"Linear",
                                              "Multiple linear",
                                              "Polynomial",
                                              "Rational fraction",
                                              "Sum of exponentials",
                                              "Increasing exponential",
                                              "Exponential + linear",
                                              "Power",
                                              "Michaelis",
                                              "Integrated Michaelis",
                                              "Hill",
                                              "Logistic",
                                              "Acid/Base titration curve"};

const char* const kVarianceModelNames[kVarianceModelCount] = {
    "Constant", "Linear", "2nd degree polynomial", "3rd degree polynomial", "Exponential", "Power"};

namespace {
constexpr int kThetaCount[kVarianceModelCount] = {0, 1, 2, 3, 1, 1};

double VarianceFunction(int model, std::span<const double> theta, double y) {
  switch (model) {
    case 1:
      return 1.0 + theta[0] * y;
    case 2:
      return 1.0 + theta[0] * y + theta[1] * y * y;
    case 3:
      return 1.0 + theta[0] * y + theta[1] * y * y + theta[2] * y * y * y;
    case 4:
      return Exp(theta[0] * y);
    case 5:
      return Power(y, theta[0]);
    default:
      return 1.0;
  }
}

bool AllFinite(std::span<const double> v, int from, int to) {
  for (int i = from; i <= to; ++i)
    if (!std::isfinite(v[i])) return false;
  return true;
}

void ComputeStats(std::span<const double> y, std::span<const double> yhat, const Vector& w, int n,
                  int params, RegressionStats& st) {
  const auto weight = [&](int i) { return w.empty() ? 1.0 : w[i]; };
  double sw = 0.0, swy = 0.0;
  st.ssr = 0.0;
  for (int i = 1; i <= n; ++i) {
    const double r = y[i] - yhat[i];
    st.ssr += weight(i) * r * r;
    sw += weight(i);
    swy += weight(i) * y[i];
  }
  const double mean = sw > 0 ? swy / sw : 0.0;
  st.sst = 0.0;
  for (int i = 1; i <= n; ++i) st.sst += weight(i) * (y[i] - mean) * (y[i] - mean);
  st.dfModel = params - 1;
  st.dfResidual = n - params;
  st.residualVariance = st.dfResidual > 0 ? st.ssr / st.dfResidual : 0.0;
  st.r2 = st.sst > 0 ? 1.0 - st.ssr / st.sst : (st.ssr == 0.0 ? 1.0 : 0.0);
  st.adjustedR2 = st.dfResidual > 0 ? 1.0 - (1.0 - st.r2) * (n - 1) / double(st.dfResidual) : st.r2;
  st.f = 0.0;
  st.fProbability = 1.0;
  if (st.dfModel >= 1 && st.dfResidual >= 1) {
    if (st.ssr == 0.0) {
      st.f = kHugeValue;
      st.fProbability = 0.0;
    } else {
      st.f = std::max(0.0, (st.sst - st.ssr) / st.dfModel / (st.ssr / st.dfResidual));
      const double d1 = st.dfModel, d2 = st.dfResidual;
      st.fProbability = IncompleteBeta(d2 / 2.0, d1 / 2.0, d2 / (d2 + d1 * st.f));
    }
  }
}
}  // namespace

FitResult DescribeModel(int index, std::span<const double> options, ModelEntry& entry) {
  switch (index) {
    case kModelLinear:
      entry = {0, 1, LinearModel, LinearDerivative, LinearSweep, EstimateLinear};
      return kFitOk;
    case kModelSumOfExponentials: {
      const double requested = options.empty() ? 1.0 : std::round(options[0]);
      const int count = requested >= 1 && requested <= 1000 ? int(requested) : 1;
      const bool constant = options.size() > 1 && options[1] == 1.0;
      entry.lb = constant ? 0 : 1;
      entry.ub = 2 * count;
      entry.model = [count, constant](double x, std::span<const double> b) {
        return ExponentialModel(x, b, count, constant);
      };
      entry.derivative = [count, constant](double x, double, std::span<const double> b,
                                           std::span<double> d) {
        ExponentialDerivative(x, b, d, count, constant);
      };
      entry.sweep = [count, constant](std::span<const double> x, std::span<const double> b,
                                      std::span<double> y, std::span<double> d, std::size_t width) {
        ExponentialSweep(x, b, y, d, width, count, constant);
      };
      entry.estimate = [count, constant](std::span<const double> x, std::span<const double> y,
                                         int n, std::span<double> b, Matrix&) {
        if (count != 1) return kFitNoSuchModel;
        return EstimateExponential(x, y, n, constant, b);
      };
      return kFitOk;
    }
    case kModelPower:
      entry = {0,
               1,
               PowerModel,
               PowerDerivative,
               PowerSweep,
               [](std::span<const double> x, std::span<const double> y, int n, std::span<double> b,
                  Matrix&) { return EstimatePower(x, y, n, b); }};
      return kFitOk;
    case kModelHill:
      entry = {0,
               2,
               HillModel,
               HillDerivative,
               HillSweep,
               [](std::span<const double> x, std::span<const double> y, int n, std::span<double> b,
                  Matrix&) { return EstimateHill(x, y, n, b); }};
      return kFitOk;
    default:
      return kFitNoSuchModel;
  }
}

FitResult FitCatalogueModel(const CatalogueFit& fit, std::span<double> b, Matrix& v,
                            std::span<double> yhat, std::span<double> s, RegressionStats& stats,
                            const FitSettings& settings, FitSummary* summary) {
  if (summary) *summary = {};
  ModelEntry entry;
  FitResult code = DescribeModel(fit.model, fit.options, entry);
  if (code != kFitOk) return code;
  if (fit.varianceModel < 0 || fit.varianceModel >= kVarianceModelCount) return kFitNoSuchModel;
  const int n = fit.n;
  const auto holds = [n](std::span<const double> a) { return n == 0 || a.size() > size_t(n); };
  if (n < 0 || !holds(fit.x) || !holds(fit.y) || !holds(yhat) || !holds(s) ||
      b.size() <= size_t(entry.ub) || fit.lower.size() <= size_t(entry.ub) ||
      fit.upper.size() <= size_t(entry.ub) ||
      fit.theta.size() < size_t(kThetaCount[fit.varianceModel]))
    return kFitBadArguments;
  if (!AllFinite(fit.x, 1, n) || !AllFinite(fit.y, 1, n)) return kFitNonFinite;

  // Weights 1/g(y); the "Constant" variance model fits unweighted.
  Vector weights;
  if (fit.varianceModel != 0) {
    weights = NewVector(n);
    for (int i = 1; i <= n; ++i) {
      const double g = VarianceFunction(fit.varianceModel, fit.theta, fit.y[i]);
      if (!(g > 0) || !std::isfinite(g)) return kFitBadWeights;
      weights[i] = 1.0 / g;
    }
  }

  EnsureSquare(v, entry.ub);
  if (fit.estimate) code = entry.estimate(fit.x, fit.y, n, b, v);
  if (code == kFitOk && fit.model >= 3 && fit.maxIter >= 1) {
    FitProblem problem;
    problem.model = entry.model;
    problem.derivative = entry.derivative;
    problem.sweep = entry.sweep;
    problem.x = fit.x;
    problem.y = fit.y;
    problem.weights = weights;
    problem.n = n;
    problem.lb = entry.lb;
    problem.ub = entry.ub;
    problem.lower = fit.lower;
    problem.upper = fit.upper;
    problem.maxIter = fit.maxIter;
    problem.tol = fit.tol;
    code = FitNonlinear(problem, b, v, settings, summary);
  }
  if (code != kFitOk) return code;
  if (!AllFinite(b, entry.lb, entry.ub)) return kFitNonFinite;

  if (n > 0) entry.sweep(fit.x.subspan(1, n), b, yhat.subspan(1, n), {}, 0);
  ComputeStats(fit.y, yhat, weights, n, entry.ub - entry.lb + 1, stats);
  for (int j = entry.lb; j <= entry.ub; ++j)
    for (int k = entry.lb; k <= entry.ub; ++k) v[j][k] *= stats.residualVariance;
  const double sd = std::sqrt(stats.residualVariance);
  for (int i = 1; i <= n; ++i) s[i] = sd;
  return kFitOk;
}

}  // namespace quellar::numerics
