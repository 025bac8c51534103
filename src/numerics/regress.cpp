#include "numerics/regress.h"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "numerics/mcmc.h"
#include "numerics/optim.h"
#include "numerics/simopt.h"

namespace quellar::numerics {

namespace {
constexpr double kBarrier = 1e30;
std::atomic<uint8_t> gMethod{kMethodMarquardt};

bool AllFinite(std::span<const double> v, int from, int to) {
  for (int i = from; i <= to; ++i)
    if (!std::isfinite(v[i])) return false;
  return true;
}

Vector CopyRange(std::span<const double> v, int from, int to) {
  Vector out = NewVector(to);
  for (int i = from; i <= to; ++i) out[i] = v[i];
  return out;
}

int CheckProblem(const FitProblem& p, std::span<const double> b) {
  const auto fits = [](size_t size, int last) { return size > size_t(last); };
  const auto holds = [](size_t size, int n) { return n == 0 || size > size_t(n); };
  if (p.n < 0 || p.lb < 0 || p.ub < p.lb || !p.model || !p.derivative) return kFitBadArguments;
  if (!holds(p.x.size(), p.n) || !holds(p.y.size(), p.n) || !fits(b.size(), p.ub) ||
      !fits(p.lower.size(), p.ub) || !fits(p.upper.size(), p.ub) ||
      !(p.weights.empty() || holds(p.weights.size(), p.n)))
    return kFitBadArguments;
  return kFitOk;
}
}  // namespace

void SetFittingMethod(uint8_t method) {
  gMethod.store(method);
}
uint8_t GetFittingMethod() {
  return gMethod.load();
}

FitState::FitState(const FitProblem& p)
    : model_(p.model),
      derivative_(p.derivative),
      x_(CopyRange(p.x, 1, p.n)),
      y_(CopyRange(p.y, 1, p.n)),
      weights_(p.weights.empty() ? Vector() : CopyRange(p.weights, 1, p.n)),
      yhat_(NewVector(p.n)),
      lower_(CopyRange(p.lower, p.lb, p.ub)),
      upper_(CopyRange(p.upper, p.lb, p.ub)),
      n_(p.n),
      lb_(p.lb),
      ub_(p.ub),
      maxIter_(p.maxIter),
      tol_(p.tol),
      evalPoint_(NewVector(p.ub)),
      d_(NewVector(p.ub)) {}

double FitState::Objective(std::span<const double> b) {
  for (int j = lb_; j <= ub_; ++j)
    if (b[j] < lower_[j] || b[j] > upper_[j]) return kBarrier;
  evalValid_ = valueValid_ = false;
  double s = 0.0;
  for (int i = 1; i <= n_; ++i) {
    yhat_[i] = model_(x_[i], b);
    const double r = y_[i] - yhat_[i];
    s += Weight(i) * r * r;
    if (s > kBarrier) return kBarrier;
  }
  if (std::isnan(s)) return kBarrier;
  for (int j = lb_; j <= ub_; ++j) evalPoint_[j] = b[j];
  evalValid_ = valueValid_ = true;
  evalValue_ = s;
  return s;
}

bool FitState::AtEvalPoint(std::span<const double> b) const {
  if (!evalValid_) return false;
  for (int j = lb_; j <= ub_; ++j)
    if (evalPoint_[j] != b[j]) return false;
  return true;
}

double FitState::ValueAt(std::span<const double> b) {
  return valueValid_ && AtEvalPoint(b) ? evalValue_ : Objective(b);
}

void FitState::FitValues(std::span<const double> b) {
  if (AtEvalPoint(b)) return;
  evalValid_ = valueValid_ = false;
  for (int i = 1; i <= n_; ++i) yhat_[i] = model_(x_[i], b);
  for (int j = lb_; j <= ub_; ++j) evalPoint_[j] = b[j];
  evalValid_ = true;
}

void FitState::Gradient(std::span<const double> b, std::span<double> g) {
  FitValues(b);
  for (int j = lb_; j <= ub_; ++j) g[j] = 0.0;
  for (int i = 1; i <= n_; ++i) {
    std::fill(d_.begin(), d_.end(), 0.0);
    derivative_(x_[i], yhat_[i], b, d_);
    const double r = Weight(i) * (y_[i] - yhat_[i]);
    for (int j = lb_; j <= ub_; ++j) g[j] -= 2.0 * r * d_[j];
  }
}

void FitState::GaussNewton(std::span<const double> b, std::span<double> g, Matrix& a) {
  FitValues(b);
  EnsureSquare(a, ub_);
  for (int j = lb_; j <= ub_; ++j) {
    g[j] = 0.0;
    for (int k = lb_; k <= ub_; ++k) a[j][k] = 0.0;
  }
  for (int i = 1; i <= n_; ++i) {
    std::fill(d_.begin(), d_.end(), 0.0);
    derivative_(x_[i], yhat_[i], b, d_);
    const double w = Weight(i);
    const double r = w * (y_[i] - yhat_[i]);
    for (int j = lb_; j <= ub_; ++j) {
      g[j] -= r * d_[j];
      for (int k = j; k <= ub_; ++k) a[j][k] += w * d_[j] * d_[k];
    }
  }
  for (int j = lb_; j <= ub_; ++j)
    for (int k = j + 1; k <= ub_; ++k) a[k][j] = a[j][k];
}

int FitNonlinear(const FitProblem& problem, std::span<double> b, Matrix& v,
                 const FitSettings& settings) {
  int code = CheckProblem(problem, b);
  if (code != kFitOk) return code;
  const uint8_t method = settings.method.value_or(GetFittingMethod());
  if (method > kMethodMetropolisHastings) return kFitNoSuchMethod;
  const int lb = problem.lb, ub = problem.ub;
  // Non-finite data would end every method in NaN coefficients; refuse it up front. The
  // stochastic methods draw inside the bounds, so theirs must be finite too.
  const bool stochastic = method >= kMethodAnnealing;
  if (!AllFinite(problem.x, 1, problem.n) || !AllFinite(problem.y, 1, problem.n) ||
      (!problem.weights.empty() && !AllFinite(problem.weights, 1, problem.n)))
    return kFitNonFinite;
  for (int j = lb; j <= ub; ++j) {
    if (std::isnan(problem.lower[j]) || std::isnan(problem.upper[j])) return kFitNonFinite;
    if (stochastic && !(std::isfinite(problem.lower[j]) && std::isfinite(problem.upper[j])))
      return kFitNonFinite;
  }
  if (method != kMethodMetropolisHastings && !AllFinite(b, lb, ub)) return kFitNonFinite;

  FitState state(problem);
  EnsureSquare(v, ub);
  switch (method) {
    case kMethodMarquardt:
      code = Marquardt(state, b, v);
      break;
    case kMethodSimplex:
      code = Simplex(state, b);
      break;
    case kMethodBfgs:
      code = Bfgs(state, b, v);
      break;
    case kMethodAnnealing:
      code = SimulatedAnnealing(state, b, settings.seed.value_or(ClockSeed()));
      break;
    default:
      code = MetropolisHastings(state, b, v, settings.seed.value_or(ClockSeed()));
      break;
  }
  if (code != kFitOk) return code;
  if (!AllFinite(b, lb, ub)) return kFitNonFinite;
  // A point that scores the barrier (outside the bounds, or where the model overflows) is no
  // fit, whatever the method thought of it.
  if (state.ValueAt(b) >= kBarrier) return kFitNoFit;
  if (method == kMethodSimplex || method == kMethodAnnealing) {
    Vector g = NewVector(ub);
    Matrix a;
    state.GaussNewton(b, g, a);
    code = Invert(a, lb, ub, v);
  }
  return code;
}

}  // namespace quellar::numerics
