#pragma once
// The nonlinear least-squares driver: FitNonlinear minimises the (optionally weighted) sum of
// squared residuals of a model over the parameter slots lb..ub within hard bounds, by one of
// five methods. Everything a fit needs lives in the call; only the selected method is
// process-wide, so fits may run on several threads at once or nest inside a model callback.
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "numerics/matrices.h"
#include "numerics/random.h"

namespace quellar::numerics {

// y = f(x, b). b holds every slot 0..ub; a fit varies only lb..ub.
using ModelFunction = std::function<double(double x, std::span<const double> b)>;
// d[j] = dy/db[j] for j in lb..ub, given y = f(x, b) already computed. d is zeroed before the
// call, so a procedure that leaves a slot alone reports a zero derivative.
using DerivativeProcedure =
    std::function<void(double x, double y, std::span<const double> b, std::span<double> d)>;

enum FitMethod : uint8_t {
  kMethodMarquardt = 0,
  kMethodSimplex = 1,
  kMethodBfgs = 2,
  kMethodAnnealing = 3,
  kMethodMetropolisHastings = 4,
};

// The method later fits use unless they name one; initially Marquardt. Any byte is stored; a
// byte above 4 makes those fits return kFitNoSuchMethod.
void SetFittingMethod(uint8_t method);
uint8_t GetFittingMethod();

struct FitProblem {
  ModelFunction model;
  DerivativeProcedure derivative;
  std::span<const double> x;        // points 1..n
  std::span<const double> y;        // points 1..n
  std::span<const double> weights;  // points 1..n; empty for an unweighted fit
  int n = 0;
  int lb = 0;
  int ub = -1;
  std::span<const double> lower;  // slots lb..ub
  std::span<const double> upper;  // slots lb..ub
  int maxIter = 1000;
  double tol = 0.001;
};

struct FitSettings {
  std::optional<uint8_t> method;   // unset: GetFittingMethod()
  std::optional<RandomSeed> seed;  // unset: ClockSeed() at the start of a stochastic method
};

// Fits b[lb..ub] in place (every iterate is written there, so b holds the last one even when
// the fit fails). v receives a covariance-type matrix over lb..ub (resized when too small):
// the inverse of the damped Gauss-Newton matrix after Marquardt, the inverse-Hessian estimate
// after BFGS, the inverted Gauss-Newton matrix after simplex and annealing, the sample
// covariance after Metropolis-Hastings. Returns a FitResult code; an exception thrown by the
// model or derivative procedure passes through.
int FitNonlinear(const FitProblem& problem, std::span<double> b, Matrix& v,
                 const FitSettings& settings = {});

// The state of one fit: copies of the data and bounds, the computed values, and the routines
// every method builds on.
class FitState {
 public:
  explicit FitState(const FitProblem& problem);

  int Lb() const { return lb_; }
  int Ub() const { return ub_; }
  int MaxIter() const { return maxIter_; }
  double Tol() const { return tol_; }
  double Lower(int j) const { return lower_[j]; }
  double Upper(int j) const { return upper_[j]; }

  // Sum of squares at b, or exactly 1e30 when a slot is out of bounds (the model is then not
  // evaluated), when the sum exceeds 1e30 or when it is not a number.
  double Objective(std::span<const double> b);
  // Objective(b), reusing the last evaluation when it was at b.
  double ValueAt(std::span<const double> b);
  // g[j] = -2 sum r_i d_i[j].
  void Gradient(std::span<const double> b, std::span<double> g);
  // g[j] = -sum r_i d_i[j], a[j][k] = sum d_i[j] d_i[k].
  void GaussNewton(std::span<const double> b, std::span<double> g, Matrix& a);

 private:
  // Makes yhat_ hold the model at b (reusing the last objective evaluation when it was at b).
  void FitValues(std::span<const double> b);
  bool AtEvalPoint(std::span<const double> b) const;
  double Weight(int i) const { return weights_.empty() ? 1.0 : weights_[i]; }

  ModelFunction model_;
  DerivativeProcedure derivative_;
  Vector x_, y_, weights_, yhat_, lower_, upper_;
  int n_, lb_, ub_, maxIter_;
  double tol_;
  Vector evalPoint_;  // slots of the point yhat_ belongs to
  bool evalValid_ = false;
  bool valueValid_ = false;  // evalValue_ is the sum of squares at evalPoint_
  double evalValue_ = 0.0;
  Vector d_;
};

}  // namespace quellar::numerics
