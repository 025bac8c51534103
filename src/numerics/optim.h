#pragma once
// The deterministic methods (Marquardt, Nelder-Mead simplex, BFGS) and the line search that
// Marquardt and BFGS share. Each works on the slots lb..ub of b in place and counts its
// iterations in the state.
#include <span>

#include "numerics/regress.h"

namespace quellar::numerics {

// Minimises phi(r) = objective(b + r p) by bracketing from r = 0 and 1 (at most 100
// expansions) and a golden-section search (at most 100 steps), then moves b to the better
// interior point. f holds phi(0) on entry and the value at the new b on exit; the new value is
// never above phi(0). Returns kFitIterationLimit when either loop ran out (b is still moved to
// the best point found).
FitResult LineSearch(FitState& state, std::span<double> b, std::span<const double> p, double& f);

// Each returns kFitOk only where its own step test holds at a stationary point
// (FitState::Stationary, FitState::Settle); a step test that holds elsewhere sends the method on.
FitResult Marquardt(FitState& state, std::span<double> b, Matrix& v);
FitResult Simplex(FitState& state, std::span<double> b);
FitResult Bfgs(FitState& state, std::span<double> b, Matrix& h);

}  // namespace quellar::numerics
