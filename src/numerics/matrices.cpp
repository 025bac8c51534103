#include "numerics/matrices.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace quellar::numerics {

void Matrix::Resize(int u1, int u2) {
  rows_ = u1 < 0 ? 0 : u1 + 1;
  cols_ = u2 < 0 ? 0 : u2 + 1;
  data_.assign(static_cast<size_t>(rows_) * cols_, 0.0);
}

void EnsureSquare(Matrix& m, int ub) {
  if (m.Rows() <= ub || m.Cols() <= ub) m.Resize(ub, ub);
}

namespace {
// In-place Gauss-Jordan on the block lb..ub of w, optionally carrying one right-hand side.
FitResult Eliminate(Matrix& w, int lb, int ub, double* rhs) {
  const int n = ub - lb + 1;
  if (n <= 0) return kFitOk;
  IntVector rowOf(n), colOf(n), used(n, 0);
  for (int step = 0; step < n; ++step) {
    double big = -1.0;
    int prow = 0, pcol = 0;
    for (int i = 0; i < n; ++i) {
      if (used[i]) continue;
      for (int k = 0; k < n; ++k) {
        if (used[k]) continue;
        const double m = std::fabs(w[lb + i][lb + k]);
        if (m > big) big = m, prow = i, pcol = k;
      }
    }
    // NaN entries leave big at -1 or NaN: both count as singular.
    if (!(big >= kMachineEpsilon)) return kFitSingular;
    used[pcol] = 1;
    if (prow != pcol) {
      for (int k = 0; k < n; ++k) std::swap(w[lb + prow][lb + k], w[lb + pcol][lb + k]);
      if (rhs) std::swap(rhs[lb + prow], rhs[lb + pcol]);
    }
    rowOf[step] = prow;
    colOf[step] = pcol;
    const int p = lb + pcol;
    const double inv = 1.0 / w[p][p];
    w[p][p] = 1.0;
    for (int k = 0; k < n; ++k) w[p][lb + k] *= inv;
    if (rhs) rhs[p] *= inv;
    for (int i = 0; i < n; ++i) {
      if (lb + i == p) continue;
      const double f = w[lb + i][p];
      if (f == 0.0) continue;
      w[lb + i][p] = 0.0;
      for (int k = 0; k < n; ++k) w[lb + i][lb + k] -= w[p][lb + k] * f;
      if (rhs) rhs[lb + i] -= rhs[p] * f;
    }
  }
  // Undo the column interchanges implied by the row swaps, last first.
  for (int step = n - 1; step >= 0; --step) {
    if (rowOf[step] == colOf[step]) continue;
    for (int i = 0; i < n; ++i) std::swap(w[lb + i][lb + rowOf[step]], w[lb + i][lb + colOf[step]]);
  }
  return kFitOk;
}

void CopyBlock(const Matrix& a, int lb, int ub, Matrix& w) {
  w.Resize(ub, ub);
  for (int i = lb; i <= ub; ++i)
    for (int k = lb; k <= ub; ++k) w[i][k] = a[i][k];
}

void StoreBlock(const Matrix& w, int lb, int ub, Matrix& inv) {
  EnsureSquare(inv, ub);
  for (int i = lb; i <= ub; ++i)
    for (int k = lb; k <= ub; ++k) inv[i][k] = w[i][k];
}
}  // namespace

FitResult GaussJordan(const Matrix& a, std::span<const double> rhs, int lb, int ub,
                      std::span<double> x, Matrix& inv) {
  Matrix w;
  CopyBlock(a, lb, ub, w);
  Vector r = NewVector(ub);
  for (int i = lb; i <= ub; ++i) r[i] = rhs[i];
  const FitResult code = Eliminate(w, lb, ub, r.data());
  if (code != kFitOk) return code;
  StoreBlock(w, lb, ub, inv);
  for (int i = lb; i <= ub; ++i) x[i] = r[i];
  return kFitOk;
}

FitResult ScaledGaussJordan(const Matrix& a, std::span<const double> rhs, int lb, int ub,
                            double damping, std::span<double> x, Matrix& inv) {
  Vector scale = NewVector(ub);
  for (int i = lb; i <= ub; ++i) {
    if (!(a[i][i] > 0) || !std::isfinite(a[i][i])) return kFitSingular;
    scale[i] = 1.0 / std::sqrt(a[i][i]);
  }
  Matrix w;
  CopyBlock(a, lb, ub, w);
  Vector r = NewVector(ub);
  for (int i = lb; i <= ub; ++i) {
    for (int k = lb; k <= ub; ++k) w[i][k] *= scale[i] * scale[k];
    w[i][i] = 1.0 + damping;
    r[i] = rhs[i] * scale[i];
  }
  const FitResult code = Eliminate(w, lb, ub, r.data());
  if (code != kFitOk) return code;
  EnsureSquare(inv, ub);
  for (int i = lb; i <= ub; ++i) {
    x[i] = r[i] * scale[i];
    for (int k = lb; k <= ub; ++k) inv[i][k] = w[i][k] * scale[i] * scale[k];
  }
  return kFitOk;
}

FitResult Invert(const Matrix& a, int lb, int ub, Matrix& inv) {
  Matrix w;
  CopyBlock(a, lb, ub, w);
  const FitResult code = Eliminate(w, lb, ub, nullptr);
  if (code != kFitOk) return code;
  StoreBlock(w, lb, ub, inv);
  return kFitOk;
}

FitResult Cholesky(const Matrix& a, int lb, int ub, Matrix& l) {
  Matrix w(ub, ub);
  for (int j = lb; j <= ub; ++j) {
    double d = a[j][j];
    for (int k = lb; k < j; ++k) d -= w[j][k] * w[j][k];
    if (!(d > 0)) return kFitIterationLimit;
    const double root = std::sqrt(d);
    w[j][j] = root;
    for (int i = j + 1; i <= ub; ++i) {
      double s = a[i][j];
      for (int k = lb; k < j; ++k) s -= w[i][k] * w[j][k];
      w[i][j] = s / root;
    }
  }
  l = std::move(w);
  return kFitOk;
}

double MaxAbs(std::span<const double> v, int lb, int ub) {
  double m = 0.0;
  for (int i = lb; i <= ub; ++i) m = std::max(m, std::fabs(v[i]));
  return m;
}

double Median(std::span<const double> v, int lb, int ub) {
  if (ub < lb) return 0.0;
  Vector s(v.begin() + lb, v.begin() + ub + 1);
  std::sort(s.begin(), s.end());
  const size_t n = s.size();
  return n % 2 ? s[n / 2] : 0.5 * (s[n / 2 - 1] + s[n / 2]);
}

}  // namespace quellar::numerics
