#pragma once
// Simulated annealing over the box [lower, upper] of the slots lb..ub.
#include <span>

#include "numerics/regress.h"

namespace quellar::numerics {

inline constexpr int kAnnealStepAdjustments = 5;  // step adjustments per temperature
inline constexpr int kAnnealSweeps = 15;          // sweeps per step adjustment
inline constexpr double kAnnealCooling = 0.9;     // temperature factor
inline constexpr int kAnnealTrials = 50;          // trial moves that set the first temperature

// MaxIter counts temperatures. b ends at the best point found. Never evaluates a point outside
// the bounds, which must be finite.
FitResult SimulatedAnnealing(FitState& state, std::span<double> b, RandomSeed seed);

}  // namespace quellar::numerics
