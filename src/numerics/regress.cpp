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

// The point-sized arrays of a fit are kept per thread for the next one, up to a bound. Fresh
// arrays would come as fresh pages from the system each time, and on a busy host their faults
// cost more than the arithmetic of an easy fit. A nested fit takes arrays the outer one is not
// using.
struct VectorPool {
  std::vector<Vector> free;
  std::size_t bytes = 0;
};
VectorPool& ThreadPool() {
  thread_local VectorPool pool;
  return pool;
}
void Give(Vector& v) {
  VectorPool& pool = ThreadPool();
  const std::size_t bytes = v.capacity() * sizeof(double);
  if (bytes == 0 || pool.bytes + bytes > kMaxPooledFitBytes) return;
  pool.free.push_back(std::move(v));
  pool.bytes += bytes;
}
// Makes v hold size elements (their values unspecified), taking the smallest pooled array that
// is large enough when v's own storage is not.
void Size(Vector& v, std::size_t size) {
  if (v.capacity() < size) {
    VectorPool& pool = ThreadPool();
    std::size_t best = pool.free.size();
    for (std::size_t i = 0; i < pool.free.size(); ++i) {
      const std::size_t capacity = pool.free[i].capacity();
      if (capacity >= size && (best == pool.free.size() || capacity < pool.free[best].capacity()))
        best = i;
    }
    if (best < pool.free.size()) {
      v = std::move(pool.free[best]);
      pool.free.erase(pool.free.begin() + static_cast<std::ptrdiff_t>(best));
      pool.bytes -= v.capacity() * sizeof(double);
    }
  }
  v.resize(size);
}
// Points 1..n of v into out (element 0 is 0).
void CopyPoints(std::span<const double> v, int n, Vector& out) {
  Size(out, static_cast<std::size_t>(n) + 1);
  out[0] = 0.0;
  std::copy(v.begin() + 1, v.begin() + n + 1, out.begin() + 1);
}

// The Jacobian comes along with the sweeps while its rows take at most this many bytes.
constexpr std::size_t kMaxJointBytes = std::size_t{16} << 20;

// The Gauss-Newton sums over Jacobian rows for a slot count S known at compile time, so that
// they stay in registers: g[j] = -sum r_i d_i[j], a[j][k] = sum w_i d_i[j] d_i[k] (k >= j),
// added in the same order as the general loop, so the result is the same to the last bit.
template <int S>
void SumRows(const double* rows, std::size_t width, int lb, int n, const Vector& y,
             const Vector& yhat, const Vector& weights, std::span<double> g, Matrix& a) {
  double gs[S] = {}, as[S][S] = {};
  for (int i = 1; i <= n; ++i) {
    const double* d = rows + i * width + lb;
    const double w = weights.empty() ? 1.0 : weights[i];
    const double r = w * (y[i] - yhat[i]);
    for (int j = 0; j < S; ++j) {
      gs[j] -= r * d[j];
      for (int k = j; k < S; ++k) as[j][k] += w * d[j] * d[k];
    }
  }
  for (int j = 0; j < S; ++j) {
    g[lb + j] = gs[j];
    for (int k = j; k < S; ++k) a[lb + j][lb + k] = as[j][k];
  }
}

FitResult CheckProblem(const FitProblem& p, std::span<const double> b) {
  const auto fits = [](size_t size, int last) { return size > size_t(last); };
  const auto holds = [](size_t size, int n) { return n == 0 || size > size_t(n); };
  if (p.n < 0 || p.lb < 0 || p.ub < p.lb || !p.model || !p.derivative) return kFitBadArguments;
  if (!holds(p.x.size(), p.n) || !holds(p.y.size(), p.n) || !fits(b.size(), p.ub) ||
      !fits(p.lower.size(), p.ub) || !fits(p.upper.size(), p.ub) ||
      !(p.weights.empty() || holds(p.weights.size(), p.n)))
    return kFitBadArguments;
  return kFitOk;
}

// Non-finite data would end every method in NaN coefficients; refuse it up front. The
// stochastic methods draw inside the bounds, so theirs must be finite too.
FitResult CheckData(const FitProblem& p, std::span<const double> b, uint8_t method) {
  const bool stochastic = method >= kMethodAnnealing;
  if (!AllFinite(p.x, 1, p.n) || !AllFinite(p.y, 1, p.n) ||
      (!p.weights.empty() && !AllFinite(p.weights, 1, p.n)))
    return kFitNonFinite;
  for (int j = p.lb; j <= p.ub; ++j) {
    if (std::isnan(p.lower[j]) || std::isnan(p.upper[j])) return kFitNonFinite;
    if (stochastic && !(std::isfinite(p.lower[j]) && std::isfinite(p.upper[j])))
      return kFitNonFinite;
  }
  if (method != kMethodMetropolisHastings && !AllFinite(b, p.lb, p.ub)) return kFitNonFinite;
  return kFitOk;
}
}  // namespace

void SetFittingMethod(uint8_t method) {
  gMethod.store(method);
}
uint8_t GetFittingMethod() {
  return gMethod.load();
}

std::size_t PooledFitBytes() {
  return ThreadPool().bytes;
}

FitState::FitState(const FitProblem& p)
    : model_(p.model),
      derivative_(p.derivative),
      sweep_(p.sweep),
      lower_(CopyRange(p.lower, p.lb, p.ub)),
      upper_(CopyRange(p.upper, p.lb, p.ub)),
      n_(p.n),
      lb_(p.lb),
      ub_(p.ub),
      maxIter_(p.maxIter),
      tol_(p.tol),
      evalPoint_(NewVector(p.ub)),
      d_(NewVector(p.ub)) {
  CopyPoints(p.x, n_, x_);
  CopyPoints(p.y, n_, y_);
  if (!p.weights.empty()) CopyPoints(p.weights, n_, weights_);
  Size(yhat_, static_cast<std::size_t>(n_) + 1);
  std::fill(yhat_.begin(), yhat_.end(), 0.0);
  const std::size_t rowsBytes = (static_cast<std::size_t>(n_) + 1) * d_.size() * sizeof(double);
  joint_ = sweep_ && rowsBytes <= kMaxJointBytes;
  for (int i = 1; i <= n_; ++i) dataNorm2_ += Weight(i) * y_[i] * y_[i];
}

FitState::~FitState() {
  for (Vector* v : {&jacobian_, &probeValues_, &swept_, &yhat_, &weights_, &y_, &x_}) Give(*v);
}

double FitState::RoundingLevel() const {
  // Residuals carry rounding of a few units in the last place of each y.
  return 1e4 * kMachineEpsilon * kMachineEpsilon * dataNorm2_;
}

bool FitState::SmallStep(std::span<const double> b, std::span<const double> old,
                         std::span<const double> diag, double f, double tol) const {
  const double curve = tol * std::sqrt(f + RoundingLevel());
  for (int j = lb_; j <= ub_; ++j) {
    const double step = std::fabs(b[j] - old[j]);
    if (step < tol * std::fabs(old[j])) continue;
    if (!diag.empty() && step * std::sqrt(diag[j]) < curve) continue;
    return false;
  }
  return true;
}

bool FitState::Settle(std::span<double> b, double& f, FitResult* code) {
  Vector g = NewVector(ub_), step = NewVector(ub_), trial(b.begin(), b.end());
  Matrix a, inverse;
  for (int round = 0; round < kSettleSteps; ++round) {
    GaussNewton(b, g, a);
    for (int j = lb_; j <= ub_; ++j) g[j] = -g[j];
    const FitResult solved = ScaledGaussJordan(a, g, lb_, ub_, 0.0, step, inverse);
    if (code) *code = solved;
    if (solved != kFitOk) return false;
    double predicted = 0.0;
    for (int j = lb_; j <= ub_; ++j) predicted += g[j] * step[j];
    if (predicted <= tol_ * tol_ * f + RoundingLevel()) return true;
    for (int j = lb_; j <= ub_; ++j) trial[j] = b[j] + step[j];
    const double ft = Objective(trial);
    if (!(ft < f)) return false;
    for (int j = lb_; j <= ub_; ++j) b[j] = trial[j];
    f = ft;
  }
  return false;
}

bool FitState::Stationary(std::span<const double> b, const Matrix& a, std::span<const double> g,
                          double f, std::span<double> step, Matrix& inverse,
                          FitResult& code) const {
  code = ScaledGaussJordan(a, g, lb_, ub_, 0.0, step, inverse);
  if (code != kFitOk) return false;
  // The Gauss-Newton step passes the step test at tol^2 (so the closing step leaves the
  // parameters good to about that), and the reduction a linear model would see from it,
  // g . step = g^T A^-1 g, is within tol^2 of the sum.
  Vector to(b.begin(), b.end()), diag = NewVector(ub_);
  double predicted = 0.0;
  for (int j = lb_; j <= ub_; ++j) {
    predicted += g[j] * step[j];
    to[j] += step[j];
    diag[j] = a[j][j];
  }
  return predicted <= tol_ * tol_ * f + RoundingLevel() && SmallStep(to, b, diag, f, tol_ * tol_);
}

void FitState::SweepAt(std::span<const double> b) {
  const std::size_t n = static_cast<std::size_t>(n_), width = d_.size();
  std::span<double> rows;
  if (joint_) {
    Size(swept_, (n + 1) * width);
    rows = std::span<double>(swept_).subspan(width, n * width);
  }
  sweep_(std::span<const double>(x_).subspan(1, n), b, std::span<double>(yhat_).subspan(1, n), rows,
         width);
}

double FitState::Objective(std::span<const double> b) {
  for (int j = lb_; j <= ub_; ++j)
    if (b[j] < lower_[j] || b[j] > upper_[j]) return kBarrier;
  evalValid_ = valueValid_ = false;
  ++evaluations;
  if (sweep_) SweepAt(b);
  double s = 0.0;
  for (int i = 1; i <= n_; ++i) {
    if (!sweep_) yhat_[i] = model_(x_[i], b);
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
  ++evaluations;
  if (sweep_)
    SweepAt(b);
  else
    for (int i = 1; i <= n_; ++i) yhat_[i] = model_(x_[i], b);
  for (int j = lb_; j <= ub_; ++j) evalPoint_[j] = b[j];
  evalValid_ = true;
}

const double* FitState::SweptRows(std::span<const double> b) {
  FitValues(b);
  return joint_ ? swept_.data() : nullptr;
}

void FitState::Gradient(std::span<const double> b, std::span<double> g, std::span<double> diag) {
  const double* rows = SweptRows(b);
  ++derivativeSweeps;
  for (int j = lb_; j <= ub_; ++j) g[j] = 0.0;
  if (!diag.empty())
    for (int j = lb_; j <= ub_; ++j) diag[j] = 0.0;
  const size_t width = d_.size();
  for (int i = 1; i <= n_; ++i) {
    const double* d = rows ? rows + i * width : d_.data();
    if (!rows) {
      std::fill(d_.begin(), d_.end(), 0.0);
      derivative_(x_[i], yhat_[i], b, d_);
    }
    const double w = Weight(i);
    const double r = w * (y_[i] - yhat_[i]);
    for (int j = lb_; j <= ub_; ++j) g[j] -= 2.0 * r * d[j];
    if (!diag.empty())
      for (int j = lb_; j <= ub_; ++j) diag[j] += w * d[j] * d[j];
  }
}

void FitState::GaussNewton(std::span<const double> b, std::span<double> g, Matrix& a) {
  const double* rows = SweptRows(b);
  ++derivativeSweeps;
  EnsureSquare(a, ub_);
  for (int j = lb_; j <= ub_; ++j) {
    g[j] = 0.0;
    for (int k = lb_; k <= ub_; ++k) a[j][k] = 0.0;
  }
  const size_t width = d_.size();
  if (keepJacobian) {
    Size(jacobian_, width * (n_ + 1));
    if (rows) std::copy(rows, rows + jacobian_.size(), jacobian_.begin());
  }
  using Sums = void (*)(const double*, std::size_t, int, int, const Vector&, const Vector&,
                        const Vector&, std::span<double>, Matrix&);
  static constexpr Sums kSums[] = {SumRows<1>, SumRows<2>, SumRows<3>, SumRows<4>};
  const int slots = ub_ - lb_ + 1;
  if (rows && slots <= 4) {
    kSums[slots - 1](rows, width, lb_, n_, y_, yhat_, weights_, g, a);
  } else {
    for (int i = 1; i <= n_; ++i) {
      const double* d = rows ? rows + i * width : d_.data();
      if (!rows) {
        std::fill(d_.begin(), d_.end(), 0.0);
        derivative_(x_[i], yhat_[i], b, d_);
        if (keepJacobian) std::copy(d_.begin(), d_.end(), jacobian_.begin() + i * width);
      }
      const double w = Weight(i);
      const double r = w * (y_[i] - yhat_[i]);
      for (int j = lb_; j <= ub_; ++j) {
        g[j] -= r * d[j];
        for (int k = j; k <= ub_; ++k) a[j][k] += w * d[j] * d[k];
      }
    }
  }
  for (int j = lb_; j <= ub_; ++j)
    for (int k = j + 1; k <= ub_; ++k) a[k][j] = a[j][k];
  if (keepJacobian) jacobianPoint_.assign(b.begin(), b.end());
}

bool FitState::Acceleration(std::span<const double> b, std::span<const double> v,
                            std::span<double> rhs) {
  constexpr double kH = 0.1;
  // The Jacobian of the last GaussNewton, when it was kept and taken at b.
  if (!keepJacobian || jacobianPoint_.size() != b.size() ||
      !std::equal(b.begin() + lb_, b.begin() + ub_ + 1, jacobianPoint_.begin() + lb_,
                  jacobianPoint_.begin() + ub_ + 1))
    return false;
  probe_.assign(b.begin(), b.end());
  for (int j = lb_; j <= ub_; ++j) {
    probe_[j] = b[j] + kH * v[j];
    if (!(probe_[j] >= lower_[j] && probe_[j] <= upper_[j])) return false;
  }
  FitValues(b);
  ++evaluations;
  const size_t width = d_.size();
  if (sweep_) {
    Size(probeValues_, static_cast<std::size_t>(n_) + 1);
    sweep_(std::span<const double>(x_).subspan(1, n_), probe_,
           std::span<double>(probeValues_).subspan(1, n_), {}, width);
  }
  Vector sum = NewVector(ub_);
  for (int i = 1; i <= n_; ++i) {
    const double* d = jacobian_.data() + i * width;
    double slope = 0.0;
    for (int j = lb_; j <= ub_; ++j) slope += d[j] * v[j];
    const double probed = sweep_ ? probeValues_[i] : model_(x_[i], probe_);
    const double yvv = 2.0 / kH * ((probed - yhat_[i]) / kH - slope);
    const double w = Weight(i);
    for (int j = lb_; j <= ub_; ++j) sum[j] -= 0.5 * w * yvv * d[j];
  }
  for (int j = lb_; j <= ub_; ++j)
    if (!std::isfinite(sum[j])) return false;
  for (int j = lb_; j <= ub_; ++j) rhs[j] = sum[j];
  return true;
}

const char* FitStopText(FitStop stop) {
  switch (stop) {
    case FitStop::kConverged:
      return "converged at a stationary point";
    case FitStop::kSampled:
      return "sampling finished";
    case FitStop::kIterationLimit:
      return "iteration limit reached";
    case FitStop::kSingular:
      return "singular matrix";
    case FitStop::kDampingLimit:
      return "damping limit exceeded";
    default:
      return "refused";
  }
}

namespace {
FitStop StopOf(FitResult code, uint8_t method) {
  switch (code) {
    case kFitOk:
      return method == kMethodMetropolisHastings ? FitStop::kSampled : FitStop::kConverged;
    case kFitSingular:
      return FitStop::kSingular;
    case kFitDampingLimit:
      return FitStop::kDampingLimit;
    case kFitIterationLimit:
      return FitStop::kIterationLimit;
    default:
      return FitStop::kRefused;
  }
}

FitResult RunMethod(const FitProblem& problem, std::span<double> b, Matrix& v,
                    const FitSettings& settings, uint8_t method, FitState& state) {
  const int lb = problem.lb, ub = problem.ub;
  FitResult code = kFitOk;
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
    Vector g = NewVector(ub), unused = NewVector(ub);
    Matrix a;
    state.GaussNewton(b, g, a);
    code = ScaledGaussJordan(a, g, lb, ub, 0.0, unused, v);
  }
  return code;
}
}  // namespace

FitResult FitNonlinear(const FitProblem& problem, std::span<double> b, Matrix& v,
                       const FitSettings& settings, FitSummary* summary) {
  const uint8_t method = settings.method.value_or(GetFittingMethod());
  FitResult code = CheckProblem(problem, b);
  if (code == kFitOk && method > kMethodMetropolisHastings) code = kFitNoSuchMethod;
  if (code == kFitOk) code = CheckData(problem, b, method);
  if (code != kFitOk) {
    if (summary) *summary = {code, FitStop::kRefused, 0, 0, 0, 0.0};
    return code;
  }
  FitState state(problem);
  EnsureSquare(v, problem.ub);
  code = RunMethod(problem, b, v, settings, method, state);
  if (summary) {
    const double f = AllFinite(b, problem.lb, problem.ub) ? state.ValueAt(b) : kBarrier;
    *summary = {
        code, StopOf(code, method), state.iterations, state.evaluations, state.derivativeSweeps, f};
  }
  return code;
}

}  // namespace quellar::numerics
