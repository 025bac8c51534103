#include "numerics/optim.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace quellar::numerics {

namespace {
constexpr double kGoldenRatio = 1.618033988749895;
constexpr double kGoldenFraction = 0.38196601125010515;
constexpr int kMaxGoldenSteps = 100;
constexpr int kMaxBracketSteps = 100;

// The vertex coordinate for a zero start value. 1.5 * 0 would leave the vertex on b and the
// simplex flat for good in that coordinate; take half a unit instead, towards whichever side
// the bounds leave room for.
double ZeroOffset(const FitState& state, int j) {
  const double up = std::min(0.5, 0.5 * state.Upper(j));
  if (up > 0) return up;
  return std::max(-0.5, 0.5 * state.Lower(j));
}
}  // namespace

FitResult LineSearch(FitState& state, std::span<double> b, std::span<const double> p, double& f) {
  const int lb = state.Lb(), ub = state.Ub();
  Vector trial(b.begin(), b.end());
  const auto phi = [&](double r) {
    for (int j = lb; j <= ub; ++j) trial[j] = b[j] + r * p[j];
    return state.Objective(trial);
  };
  FitResult code = kFitOk;

  // Bracket: phi(r2) <= phi(r1), then step on by the golden ratio while phi keeps falling.
  double r1 = 0.0, f1 = f, r2 = 1.0, f2 = phi(1.0);
  if (f2 > f1) std::swap(r1, r2), std::swap(f1, f2);
  double c = r2 + kGoldenRatio * (r2 - r1), fc = phi(c);
  for (int steps = 0; fc < f2; ++steps) {
    if (steps == kMaxBracketSteps) {
      code = kFitIterationLimit;
      break;
    }
    r1 = r2, f1 = f2;
    r2 = c, f2 = fc;
    c = r2 + kGoldenRatio * (r2 - r1);
    fc = phi(c);
  }

  double best = r2, fbest = f2;
  if (code != kFitOk) {
    best = c, fbest = fc;
  } else {
    // Golden section on (r1, c) around r2.
    const double tau = std::max(0.01, std::sqrt(kMachineEpsilon));
    constexpr double kKeep = 1.0 - kGoldenFraction;
    double x0 = r1, x3 = c, x1, x2, g1, g2;
    if (std::fabs(c - r2) > std::fabs(r2 - r1)) {
      x1 = r2, g1 = f2;
      x2 = r2 + kGoldenFraction * (c - r2), g2 = phi(x2);
    } else {
      x2 = r2, g2 = f2;
      x1 = r2 - kGoldenFraction * (r2 - r1), g1 = phi(x1);
    }
    for (int steps = 0; std::fabs(x3 - x0) > tau * (std::fabs(x1) + std::fabs(x2)); ++steps) {
      if (steps == kMaxGoldenSteps) {
        code = kFitIterationLimit;
        break;
      }
      if (g2 < g1) {
        x0 = x1, x1 = x2, x2 = kKeep * x2 + kGoldenFraction * x3;
        g1 = g2, g2 = phi(x2);
      } else {
        x3 = x2, x2 = x1, x1 = kKeep * x1 + kGoldenFraction * x0;
        g2 = g1, g1 = phi(x1);
      }
    }
    if (g1 < g2)
      best = x1, fbest = g1;
    else
      best = x2, fbest = g2;
  }
  // The bracket keeps phi(0) as an upper bound; stay put rather than move to a worse point.
  if (!(fbest <= f)) return code;
  for (int j = lb; j <= ub; ++j) b[j] += best * p[j];
  f = fbest;
  return code;
}

namespace {
constexpr double kDampingCap = 1e10;
constexpr double kAccelerationRatio = 0.75;

// The damping of each slot: its own curvature A[j][j] (Marquardt's, free of units), raised for
// a slot whose relative influence b[j]^2 A[j][j] is far below the strongest slot's. Plain
// Marquardt damping lets a slot the data hardly sees (a decay rate far too fast to show) take
// huge steps and leave the basin of the minimum.
void Damping(const Matrix& a, std::span<const double> b, int lb, int ub, std::span<double> d) {
  double strongest = 0.0;
  for (int j = lb; j <= ub; ++j) strongest = std::max(strongest, a[j][j] * b[j] * b[j]);
  for (int j = lb; j <= ub; ++j)
    d[j] = b[j] != 0.0 ? std::max(a[j][j], strongest / (b[j] * b[j])) : a[j][j];
}

// Solves (A + lambda diag(d)) x = rhs.
FitResult DampedSolve(const Matrix& a, std::span<const double> d, std::span<const double> rhs,
                      int lb, int ub, double lambda, std::span<double> x, Matrix& inv) {
  Matrix damped = a;
  for (int j = lb; j <= ub; ++j) damped[j][j] += lambda * d[j];
  return ScaledGaussJordan(damped, rhs, lb, ub, 0.0, x, inv);
}

// Length of x in the metric of A (the change of the model curve it makes).
double CurveLength(const Matrix& a, std::span<const double> x, int lb, int ub) {
  double s = 0.0;
  for (int j = lb; j <= ub; ++j) s += a[j][j] * x[j] * x[j];
  return std::sqrt(s);
}
}  // namespace

// Marquardt with geodesic acceleration: the damped step is bent along the model's curvature,
// which lets it follow the narrow curved valleys of sums of exponentials that a straight step
// only creeps along. Easy fits, whose steps are all taken, never pay for it.
FitResult Marquardt(FitState& state, std::span<double> b, Matrix& v) {
  const int lb = state.Lb(), ub = state.Ub();
  double lambda = 0.01;
  double f = state.Objective(b);
  state.iterations = 1;
  bool converged = false, stalled = false;
  Vector old = NewVector(ub), g = NewVector(ub), delta = NewVector(ub), diag = NewVector(ub);
  Vector curve = NewVector(ub), bend = NewVector(ub), damping = NewVector(ub);
  Matrix a, scratch;
  for (;;) {
    std::copy(b.begin() + lb, b.begin() + ub + 1, old.begin() + lb);
    state.GaussNewton(b, g, a);
    for (int j = lb; j <= ub; ++j) g[j] = -g[j];
    Damping(a, old, lb, ub, damping);
    if (converged) {
      FitResult code = kFitOk;
      if (state.Stationary(old, a, g, f, delta, v, code)) {
        // The closing undamped step, only where it helps and stays inside the bounds.
        for (int j = lb; j <= ub; ++j) b[j] = old[j] + delta[j];
        if (!(state.Objective(b) < f))
          for (int j = lb; j <= ub; ++j) b[j] = old[j];
        return kFitOk;
      }
      if (code != kFitOk) return code;
      if (stalled) return kFitDampingLimit;
      converged = false;  // small steps away from a minimum: damping, not convergence
    }
    // The damped step is taken whole when it lowers the sum of squares; otherwise the damping
    // rises. Past the damping cap a line search along the last step has the final word.
    double f1 = f;
    for (bool improved = false; !improved;) {
      const FitResult code = DampedSolve(a, damping, g, lb, ub, lambda, delta, v);
      if (code != kFitOk) return code;
      // The bend is kept only while small against the step: a large one means the second
      // order term is not small, and the step too long.
      bool bent = true;
      if (state.Acceleration(old, delta, curve) &&
          DampedSolve(a, damping, curve, lb, ub, lambda, bend, scratch) == kFitOk) {
        bent = CurveLength(a, bend, lb, ub) <= kAccelerationRatio * CurveLength(a, delta, lb, ub);
        if (bent)
          for (int j = lb; j <= ub; ++j) delta[j] += bend[j];
      }
      if (bent) {
        for (int j = lb; j <= ub; ++j) b[j] = old[j] + delta[j];
        f1 = state.Objective(b);
        improved = f1 < f || (f1 == 0 && f == 0);
        if (improved) break;
        for (int j = lb; j <= ub; ++j) b[j] = old[j];
        f1 = f;
      }
      // A rejected step marks a harder problem: bend the steps from the next iteration on.
      state.keepJacobian = true;
      lambda *= 10.0;
      if (lambda > kDampingCap) {
        LineSearch(state, b, delta, f1);
        stalled = !(f1 < f);
        lambda = kDampingCap;
        improved = true;
      }
    }
    for (int j = lb; j <= ub; ++j) diag[j] = a[j][j];
    converged = state.SmallStep(b, old, diag, f1, state.Tol());
    lambda *= 0.1;
    f = f1;
    if (++state.iterations > state.MaxIter()) return kFitIterationLimit;
  }
}

namespace {
// The starting simplex around b: vertex j moves coordinate j by half its value.
void BuildSimplex(FitState& state, std::span<const double> b, std::vector<Vector>& v, Vector& f,
                  Vector& extent) {
  const int lb = state.Lb(), ub = state.Ub();
  for (Vector& vertex : v) vertex.assign(b.begin(), b.end());
  for (int j = lb; j <= ub; ++j) {
    v[j][j] = b[j] == 0.0 ? ZeroOffset(state, j) : b[j] * 1.5;
    extent[j] = std::fabs(v[j][j] - b[j]);
  }
  for (int i = lb; i <= ub + 1; ++i) f[i] = state.Objective(v[i]);
}
}  // namespace

FitResult Simplex(FitState& state, std::span<double> b) {
  const int lb = state.Lb(), ub = state.Ub();
  const int n = ub - lb + 1;
  const int last = ub + 1;  // vertices lb..ub+1
  const double tol = state.Tol();
  std::vector<Vector> v(last + 1);
  Vector f = NewVector(last), extent = NewVector(ub);
  BuildSimplex(state, b, v, f, extent);

  Vector c(b.begin(), b.end()), r = c, e = c, k = c;
  state.iterations = 1;
  for (;;) {
    int lo = lb, hi = lb;
    for (int i = lb + 1; i <= last; ++i) {
      if (f[i] < f[lo])
        lo = i;
      else if (f[i] > f[hi])
        hi = i;
    }
    for (int j = lb; j <= ub; ++j) {
      double s = 0.0;
      for (int i = lb; i <= last; ++i)
        if (i != hi) s += v[i][j];
      c[j] = s / n;
    }
    for (int j = lb; j <= ub; ++j) r[j] = 2.0 * c[j] - v[hi][j];
    const double fr = state.Objective(r);
    if (fr < f[lo]) {
      for (int j = lb; j <= ub; ++j) e[j] = 3.0 * r[j] - 2.0 * c[j];
      const double fe = state.Objective(e);
      if (fe < f[lo])
        v[hi] = e, f[hi] = fe;
      else
        v[hi] = r, f[hi] = fr;
    } else {
      bool worseThanReflection = false;
      for (int i = lb; i <= last; ++i)
        if (i != hi && f[i] > fr) worseThanReflection = true;
      if (worseThanReflection) {
        v[hi] = r, f[hi] = fr;
      } else {
        if (fr <= f[hi]) v[hi] = r, f[hi] = fr;
        for (int j = lb; j <= ub; ++j) k[j] = 0.5 * (v[hi][j] + c[j]);
        const double fk = state.Objective(k);
        if (fk <= f[hi]) {
          v[hi] = k, f[hi] = fk;
        } else {
          // Shrink towards the best vertex; the moved vertices are evaluated again so the
          // ordering of the next step is by their true values.
          for (int i = lb; i <= last; ++i) {
            if (i == lo) continue;
            for (int j = lb; j <= ub; ++j) v[i][j] = 0.5 * (v[i][j] + v[lo][j]);
            f[i] = state.Objective(v[i]);
          }
        }
      }
    }
    // Scale-free size: each coordinate against its own value, or against the simplex's first
    // extent in it when the value is near zero.
    bool small = true;
    for (int j = lb; j <= ub; ++j) {
      const double spread = std::fabs(v[hi][j] - v[lo][j]);
      small = small && (spread < tol * std::fabs(v[lo][j]) || spread < tol * tol * extent[j]);
    }
    ++state.iterations;
    if (small) {
      int best = lb;
      for (int i = lb + 1; i <= last; ++i)
        if (f[i] < f[best]) best = i;
      for (int j = lb; j <= ub; ++j) b[j] = v[best][j];
      if (f[best] >= 1e30) return kFitOk;  // the driver reports a result on the barrier
      FitResult code = kFitOk;
      double fb = f[best];
      if (state.Settle(b, fb, &code)) return kFitOk;
      if (code != kFitOk) return code;
      // Collapsed away from a minimum: start afresh from the best vertex.
      BuildSimplex(state, b, v, f, extent);
    }
    if (state.iterations > state.MaxIter()) break;
  }
  int best = lb;
  for (int i = lb + 1; i <= last; ++i)
    if (f[i] < f[best]) best = i;
  for (int j = lb; j <= ub; ++j) b[j] = v[best][j];
  return kFitIterationLimit;
}

FitResult Bfgs(FitState& state, std::span<double> b, Matrix& h) {
  const int lb = state.Lb(), ub = state.Ub();
  EnsureSquare(h, ub);
  const auto resetH = [&] {
    for (int i = lb; i <= ub; ++i)
      for (int j = lb; j <= ub; ++j) h[i][j] = i == j ? 1.0 : 0.0;
  };
  resetH();
  double f = state.Objective(b);
  Vector g = NewVector(ub), p = NewVector(ub), old = NewVector(ub), gOld = NewVector(ub);
  Vector s = NewVector(ub), y = NewVector(ub), hy = NewVector(ub), diag = NewVector(ub);
  Vector u = NewVector(ub), w = NewVector(ub), vv = NewVector(ub);
  state.Gradient(b, g, diag);
  bool converged = !(MaxAbs(g, lb, ub) > kMachineEpsilon);
  for (int j = lb; j <= ub; ++j) p[j] = -g[j];
  state.iterations = 0;
  for (;;) {
    if (converged) {
      FitResult code = kFitOk;
      if (state.Settle(b, f, &code)) return kFitOk;
      if (code != kFitOk) return code;
      // Stalled away from a minimum: forget the curvature and go down the gradient again.
      converged = false;
      resetH();
      state.Gradient(b, g, diag);
      for (int j = lb; j <= ub; ++j) p[j] = -g[j];
    }
    if (state.iterations >= state.MaxIter()) return kFitIterationLimit;
    ++state.iterations;
    const double m = MaxAbs(p, lb, ub);
    if (m > 1.0)
      for (int j = lb; j <= ub; ++j) p[j] /= m;
    std::copy(b.begin() + lb, b.begin() + ub + 1, old.begin() + lb);
    std::copy(g.begin() + lb, g.begin() + ub + 1, gOld.begin() + lb);
    LineSearch(state, b, p, f);
    state.Gradient(b, g, diag);
    double sy = 0.0, yhy = 0.0;
    for (int i = lb; i <= ub; ++i) {
      s[i] = b[i] - old[i];
      y[i] = g[i] - gOld[i];
    }
    for (int i = lb; i <= ub; ++i) {
      double t = 0.0;
      for (int j = lb; j <= ub; ++j) t += h[i][j] * y[j];
      hy[i] = t;
      sy += s[i] * y[i];
    }
    for (int i = lb; i <= ub; ++i) yhy += y[i] * hy[i];
    if (sy == 0.0 || yhy == 0.0) {
      converged = true;
      continue;
    }
    for (int i = lb; i <= ub; ++i) {
      u[i] = s[i] / sy;
      vv[i] = hy[i] / yhy;
      w[i] = u[i] - vv[i];
    }
    for (int i = lb; i <= ub; ++i)
      for (int j = lb; j <= ub; ++j) h[i][j] += u[i] * s[j] - vv[i] * hy[j] + yhy * w[i] * w[j];
    for (int i = lb; i <= ub; ++i) {
      double t = 0.0;
      for (int j = lb; j <= ub; ++j) t += h[i][j] * g[j];
      p[i] = -t;
    }
    converged = state.SmallStep(b, old, diag, f, state.Tol());
  }
}

}  // namespace quellar::numerics
