#pragma once
// The models of the catalogue that have an implementation: their functions, derivative
// procedures and own estimates of the parameters from the data (points 1..n, unweighted).
#include <cstddef>
#include <span>

#include "numerics/matrices.h"

namespace quellar::numerics::models {

// Straight line ys ~ a0 + a1 xs by (weighted) least squares over all elements of xs (indices
// from 0; empty ws means unit weights). Without intercept a0 is 0. A degenerate spread of xs
// (no points, all x equal) gives kFitSingular. When cov is given and there is an intercept, it
// receives the 2x2 inverse of the normal matrix in rows and columns 0..1.
struct Line {
  double a0 = 0.0;
  double a1 = 0.0;
};
FitResult FitLine(std::span<const double> xs, std::span<const double> ys,
                  std::span<const double> ws, bool intercept, Line& line, Matrix* cov = nullptr);

// A model's sweep (see ModelSweep) from its per-point function and a derivative procedure that
// writes every slot, for the models whose derivative shares nothing with the value: the same
// arithmetic, inlined.
template <class Model, class Derivative>
void SweepPoints(Model model, Derivative derivative, std::span<const double> x,
                 std::span<const double> b, std::span<double> y, std::span<double> d,
                 std::size_t width) {
  for (std::size_t i = 0; i < x.size(); ++i) {
    y[i] = model(x[i], b);
    if (!d.empty()) derivative(x[i], y[i], b, d.subspan(i * width, width));
  }
}

// "Linear": y = b0 + b1 x, slots 0..1. The estimate is the closed-form least-squares solution
// and also fills v with the inverse normal matrix.
double LinearModel(double x, std::span<const double> b);
void LinearDerivative(double x, double y, std::span<const double> b, std::span<double> d);
void LinearSweep(std::span<const double> x, std::span<const double> b, std::span<double> y,
                 std::span<double> d, std::size_t width);
FitResult EstimateLinear(std::span<const double> x, std::span<const double> y, int n,
                         std::span<double> b, Matrix& v);

// "Sum of exponentials": y = [b0] + sum over k = 1..m of b(2k-1) exp(-b(2k) x), slots 0 or 1 to
// 2m. The estimate handles one exponential (m = 1) only.
double ExponentialModel(double x, std::span<const double> b, int count, bool constant);
void ExponentialDerivative(double x, std::span<const double> b, std::span<double> d, int count,
                           bool constant);
// Values and derivatives in one pass, each exponential computed once.
void ExponentialSweep(std::span<const double> x, std::span<const double> b, std::span<double> y,
                      std::span<double> d, std::size_t width, int count, bool constant);
FitResult EstimateExponential(std::span<const double> x, std::span<const double> y, int n,
                              bool constant, std::span<double> b);

// "Power": y = b0 x^b1, slots 0..1.
double PowerModel(double x, std::span<const double> b);
void PowerDerivative(double x, double y, std::span<const double> b, std::span<double> d);
void PowerSweep(std::span<const double> x, std::span<const double> b, std::span<double> y,
                std::span<double> d, std::size_t width);
FitResult EstimatePower(std::span<const double> x, std::span<const double> y, int n,
                        std::span<double> b);

// "Hill": y = b0 / (1 + (b1/x)^b2) for x != 0; at x = 0, b0 when b2 <= 0 and 0 otherwise.
// Slots 0..2.
double HillModel(double x, std::span<const double> b);
void HillDerivative(double x, double y, std::span<const double> b, std::span<double> d);
void HillSweep(std::span<const double> x, std::span<const double> b, std::span<double> y,
               std::span<double> d, std::size_t width);
FitResult EstimateHill(std::span<const double> x, std::span<const double> y, int n,
                       std::span<double> b);

}  // namespace quellar::numerics::models
