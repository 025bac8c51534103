#pragma once
// Constants, result codes and the guarded functions of the numeric layer. Every routine of the
// layer reports by a result code and never throws; overflow in a model is contained by Exp and
// Power below and by the 1e30 ceiling of the objective.
#include <cmath>
#include <cstdint>

namespace quellar::numerics {

// Four units in the last place below the largest finite double.
inline constexpr double kHugeValue = 1.797693134862315e308;
inline constexpr double kMachineEpsilon = 2.220446049250313e-16;
// Natural-log limits of the guarded exponential.
inline constexpr double kLogMin = -708.3964185322641;
inline constexpr double kLogMax = 709.782712893384;

// Result codes. 0 to -3 are the classic least-squares outcomes; -4 and below are the refusals
// this layer adds so that a bad request never reports success.
enum FitResult : int32_t {
  kFitOk = 0,
  kFitSingular = -1,        // singular matrix (also a degenerate linear estimate)
  kFitDampingLimit = -2,    // Marquardt damping above its limit; exponential estimate without root
  kFitIterationLimit = -3,  // iteration limit; matrix not positive definite; sampler stalled
  kFitNoSuchMethod = -4,    // fitting method byte outside 0..4
  kFitNonFinite = -5,       // NaN or infinite data, bounds or result
  kFitNoSuchModel = -6,     // catalogue model (or variance model) without an implementation
  kFitBadWeights = -7,      // the variance model gives a non-positive or non-finite g(y)
  kFitBadArguments = -8,    // storage shorter than the slots or points it must hold
  kFitNoFit = -9,           // the result scores the 1e30 barrier: out of bounds or overflowing
};

// Error flags of the guarded functions, per thread (two fits on two threads must not see each
// other's flags). Cleared only by ClearMathErrors.
enum MathError : unsigned { kMathOverflow = 1, kMathUnderflow = 2, kMathDomain = 4 };
unsigned MathErrors();
void ClearMathErrors();

// Sets an error flag of the calling thread.
void RaiseMathError(MathError error);

// e^x with the exponent clipped: 0 below kLogMin, kHugeValue above kLogMax. Inline: the model
// sweeps of a fit call it once per point.
inline double Exp(double x) {
  if (x < kLogMin) {
    RaiseMathError(kMathUnderflow);
    return 0.0;
  }
  if (x > kLogMax) {
    RaiseMathError(kMathOverflow);
    return kHugeValue;
  }
  return std::exp(x);
}
// x^e: exact repeated multiplication for an integral exponent (|e| <= 2147483647); otherwise
// exp(e ln x) through the same limits for x > 0, and 0 with the domain flag for x <= 0.
double Power(double x, double e);

// Regularised incomplete beta function I_x(a, b), a, b > 0, 0 <= x <= 1.
double IncompleteBeta(double a, double b, double x);

}  // namespace quellar::numerics
