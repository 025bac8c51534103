#pragma once
// Vectors and matrices of the numeric layer, addressed by index from 0: a vector up to index u
// holds u + 1 zero-filled elements. Fits use only the slots Lb..Ub of a parameter vector and the
// points 1..N of a data vector; the linear algebra below works on the square block Lb..Ub.
#include <span>
#include <vector>

#include "numerics/fmath.h"

namespace quellar::numerics {

using Vector = std::vector<double>;
using IntVector = std::vector<int>;

// A vector with elements 0..ub, all 0 (empty for a negative ub).
inline Vector NewVector(int ub) {
  return Vector(ub < 0 ? 0 : static_cast<size_t>(ub) + 1, 0.0);
}
inline IntVector NewIntVector(int ub) {
  return IntVector(ub < 0 ? 0 : static_cast<size_t>(ub) + 1, 0);
}

// Rows 0..u1, columns 0..u2, row-major, zero-filled.
class Matrix {
 public:
  Matrix() = default;
  Matrix(int u1, int u2) { Resize(u1, u2); }
  // Resizes to rows 0..u1 and columns 0..u2 and zero-fills everything.
  void Resize(int u1, int u2);
  int Rows() const { return rows_; }
  int Cols() const { return cols_; }
  double* operator[](int r) { return data_.data() + static_cast<size_t>(r) * cols_; }
  const double* operator[](int r) const { return data_.data() + static_cast<size_t>(r) * cols_; }

 private:
  int rows_ = 0;
  int cols_ = 0;
  Vector data_;
};

// Solves A x = rhs over the block lb..ub by Gauss-Jordan elimination with full pivoting and
// leaves the inverse of A in inv (resized if too small; other entries untouched). A pivot below
// kMachineEpsilon in magnitude gives kFitSingular. x may be rhs itself.
FitResult GaussJordan(const Matrix& a, std::span<const double> rhs, int lb, int ub,
                      std::span<double> x, Matrix& inv);
// Solves (A + damping * diag(A)) x = rhs the same way, but on A scaled to a unit diagonal, so
// that whether it counts as singular does not depend on the units of the parameters. A
// non-positive diagonal element is singular. inv receives the inverse of the damped matrix.
FitResult ScaledGaussJordan(const Matrix& a, std::span<const double> rhs, int lb, int ub,
                            double damping, std::span<double> x, Matrix& inv);
// The same elimination without a right-hand side.
FitResult Invert(const Matrix& a, int lb, int ub, Matrix& inv);
// Lower-triangular l with l l^T = a over lb..ub; a non-positive pivot gives kFitIterationLimit.
FitResult Cholesky(const Matrix& a, int lb, int ub, Matrix& l);

// Largest |v[i]| over lb..ub (0 for an empty range).
double MaxAbs(std::span<const double> v, int lb, int ub);
// Median of v[lb..ub]: the middle element, or the mean of the two middle ones (0 when empty).
double Median(std::span<const double> v, int lb, int ub);

// Makes sure m covers rows and columns 0..ub.
void EnsureSquare(Matrix& m, int ub);

}  // namespace quellar::numerics
