#pragma once
// Metropolis-Hastings sampling of exp(-S/2), S the sum of squares, started uniformly inside the
// bounds (which must be finite). b ends at the mean of the last cycle's accepted draws and v
// holds their covariance.
#include <span>

#include "numerics/regress.h"

namespace quellar::numerics {

inline constexpr int kMcmcCycles = 5;
inline constexpr int kMcmcDraws = 100;  // accepted draws per cycle, all of them saved
inline constexpr double kMcmcTemperature = 2.0;
// Rejected trials allowed per cycle before the sampler gives up with kFitIterationLimit.
inline constexpr int kMcmcMaxRejections = 100000;

FitResult MetropolisHastings(FitState& state, std::span<double> b, Matrix& v, RandomSeed seed,
                             int maxRejections = kMcmcMaxRejections);

}  // namespace quellar::numerics
