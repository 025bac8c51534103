#pragma once
// The nonlinear least-squares driver: FitNonlinear minimises the (optionally weighted) sum of
// squared residuals of a model over the parameter slots lb..ub within hard bounds, by one of
// five methods. Everything a fit needs lives in the call; only the selected method is
// process-wide, so fits may run on several threads at once or nest inside a model callback.
#include <cstddef>
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

// Optional, beside the two above: the model at every point of x into y and, when d is not
// empty, the derivatives into row i of d (slots lb..ub of d[i * width ...], every one written),
// giving exactly what model and derivative give. One call then serves a whole sweep, and a
// derivative that shares work with the value (an exponential) need not repeat it.
using ModelSweep = std::function<void(std::span<const double> x, std::span<const double> b,
                                      std::span<double> y, std::span<double> d, std::size_t width)>;

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
  ModelSweep sweep;                 // may be empty
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

// Why a fit stopped.
enum class FitStop : uint8_t {
  kConverged,       // the method's step test held at a stationary point
  kSampled,         // Metropolis-Hastings ran its cycles
  kIterationLimit,  // MaxIter ran out (or a line search or sampler did)
  kSingular,        // a Gauss-Newton or covariance matrix could not be inverted
  kDampingLimit,    // Marquardt's damping passed its limit
  kRefused,         // the request itself: arguments, method, data, or a result on the barrier
};
const char* FitStopText(FitStop stop);

// What a fit did, for C++ callers that want more than the result code.
struct FitSummary {
  FitResult result = kFitOk;
  FitStop stop = FitStop::kRefused;
  int iterations = 0;   // Marquardt iterations, simplex steps, BFGS passes, temperatures, cycles
  int evaluations = 0;  // sums of squares (each one sweep of the model over the points)
  int derivativeSweeps = 0;   // gradients and Gauss-Newton matrices
  double sumOfSquares = 0.0;  // at the returned parameters (1e30 on the barrier)
};

// The point arrays of finished fits are kept per thread for the next one, up to this many bytes.
constexpr std::size_t kMaxPooledFitBytes = std::size_t{32} << 20;
// Bytes the calling thread keeps now.
std::size_t PooledFitBytes();

// Fits b[lb..ub] in place (every iterate is written there, so b holds the last one even when
// the fit fails). v receives a covariance-type matrix over lb..ub (resized when too small):
// the inverse of the damped Gauss-Newton matrix after Marquardt, the inverse-Hessian estimate
// after BFGS, the inverted Gauss-Newton matrix after simplex and annealing, the sample
// covariance after Metropolis-Hastings. An exception thrown by the model or derivative
// procedure passes through. summary, when given, tells how the fit went.
FitResult FitNonlinear(const FitProblem& problem, std::span<double> b, Matrix& v,
                       const FitSettings& settings = {}, FitSummary* summary = nullptr);

// The state of one fit: copies of the data and bounds, the computed values, and the routines
// every method builds on.
class FitState {
 public:
  explicit FitState(const FitProblem& problem);
  ~FitState();
  FitState(const FitState&) = delete;
  FitState& operator=(const FitState&) = delete;

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
  // g[j] = -2 sum r_i d_i[j]; diag, when given, receives sum d_i[j]^2.
  void Gradient(std::span<const double> b, std::span<double> g, std::span<double> diag = {});
  // g[j] = -sum r_i d_i[j], a[j][k] = sum d_i[j] d_i[k].
  void GaussNewton(std::span<const double> b, std::span<double> g, Matrix& a);
  // Geodesic acceleration's right-hand side along the step v from b: rhs[j] = -1/2 sum
  // w_i yvv_i d_i[j], with yvv the model's second derivative along v by a finite difference and
  // d the Jacobian of the last GaussNewton. False (rhs untouched) unless that was kept
  // (keepJacobian) and taken at b; also where b + v/10 leaves the bounds (the model is never
  // evaluated out of bounds) or where the difference is not finite.
  bool Acceleration(std::span<const double> b, std::span<const double> v, std::span<double> rhs);

  // The scale-free step test: every slot moved by less than tol of its own size, or by less
  // than a step that would move the model curve by tol of the residual norm (diag holds
  // sum d_i[j]^2, the squared length of slot j's Jacobian column; f is the sum of squares).
  bool SmallStep(std::span<const double> b, std::span<const double> old,
                 std::span<const double> diag, double f, double tol) const;
  // True at a stationary point: the undamped Gauss-Newton step from b passes the step test at
  // Tol^2 and would lower the sum of squares f by at most Tol^2 of it (or only at the rounding
  // level of the data), from the Gauss-Newton matrix a and the negated gradient g = J^T r at
  // b. step receives the undamped step and inverse the inverse of a; code receives
  // kFitSingular when the step cannot be formed.
  bool Stationary(std::span<const double> b, const Matrix& a, std::span<const double> g, double f,
                  std::span<double> step, Matrix& inverse, FitResult& code) const;
  // For the methods without derivatives in their steps: true when a Gauss-Newton step from b
  // would lower f by at most Tol^2 of it (or only at the rounding level), after at most
  // kSettleSteps such steps, each taken only where it lowers f (b and f follow them).
  bool Settle(std::span<double> b, double& f, FitResult* code);
  static constexpr int kSettleSteps = 8;

  // GaussNewton keeps the Jacobian for Acceleration. Off until a method asks: the storage
  // (n x slots) costs more than an easy fit.
  bool keepJacobian = false;

  // Counters for the summary; methods count their own iterations.
  int evaluations = 0;
  int derivativeSweeps = 0;
  int iterations = 0;

 private:
  double RoundingLevel() const;
  // Makes yhat_ hold the model at b (reusing the last objective evaluation when it was at b).
  void FitValues(std::span<const double> b);
  // The model's sweep at b into yhat_, and the Jacobian into swept_ when joint_.
  void SweepAt(std::span<const double> b);
  // FitValues(b), then the Jacobian rows at b from the sweep (row i at i * width), or nullptr
  // when there is no joint sweep and the derivative procedure must be asked point by point.
  const double* SweptRows(std::span<const double> b);
  bool AtEvalPoint(std::span<const double> b) const;
  double Weight(int i) const { return weights_.empty() ? 1.0 : weights_[i]; }

  ModelFunction model_;
  DerivativeProcedure derivative_;
  ModelSweep sweep_;
  bool joint_ = false;  // sweeps bring the Jacobian along into swept_ (when it fits the bound)
  // The point-sized arrays come from, and go back to, a per-thread pool.
  Vector x_, y_, weights_, yhat_, swept_, probeValues_, jacobian_;
  Vector lower_, upper_;
  int n_, lb_, ub_, maxIter_;
  double tol_;
  double dataNorm2_ = 0.0;  // weighted sum of y^2: the scale of rounding in the residuals
  Vector evalPoint_;        // slots of the point yhat_ belongs to
  bool evalValid_ = false;
  bool valueValid_ = false;  // evalValue_ is the sum of squares at evalPoint_
  double evalValue_ = 0.0;
  Vector d_, probe_;
  // jacobian_ holds rows 1..n of the last GaussNewton, d_.size() wide, taken here:
  Vector jacobianPoint_;
};

}  // namespace quellar::numerics
