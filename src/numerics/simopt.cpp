#include "numerics/simopt.h"

#include <algorithm>
#include <cmath>

namespace quellar::numerics {

FitResult SimulatedAnnealing(FitState& state, std::span<double> b, RandomSeed seed) {
  const int lb = state.Lb(), ub = state.Ub();
  TRandom random(seed);
  Vector range = NewVector(ub), step = NewVector(ub);
  IntVector accepted = NewIntVector(ub);
  for (int j = lb; j <= ub; ++j) {
    range[j] = state.Upper(j) - state.Lower(j);
    step[j] = 0.5 * range[j];
  }
  Vector best(b.begin(), b.end());
  double f = state.Objective(b);
  double fBest = f;

  // First temperature: the median rise of the objective over random single-coordinate moves
  // is accepted with probability 1/2.
  Vector rises;
  double previous = f;
  for (int trial = 0, j = lb; trial < kAnnealTrials; ++trial) {
    b[j] = state.Lower(j) + random.Uniform() * range[j];
    const double value = state.Objective(b);
    if (value > previous) rises.push_back(value - previous);
    previous = value;
    j = j == ub ? lb : j + 1;
  }
  double t = rises.empty() ? 1.0 : Median(rises, 0, int(rises.size()) - 1) / 0.6931471805599453;
  // The walk goes on from the last trial point, so its value is the reference from here on.
  f = previous;
  if (f < fBest) fBest = f, std::copy(b.begin(), b.end(), best.begin());

  int iteration = 1;
  bool done;
  do {
    for (int adjustment = 0; adjustment < kAnnealStepAdjustments; ++adjustment) {
      for (int sweep = 0; sweep < kAnnealSweeps; ++sweep) {
        for (int j = lb; j <= ub; ++j) {
          const double keep = b[j];
          b[j] = keep + (2.0 * random.Uniform() - 1.0) * step[j];
          if (b[j] < state.Lower(j) || b[j] > state.Upper(j))
            b[j] = state.Lower(j) + random.Uniform() * range[j];
          const double value = state.Objective(b);
          const double rise = value - f;
          if (rise < 0 || random.Uniform() < Exp(-rise / t)) {
            f = value;
            ++accepted[j];
          } else {
            b[j] = keep;
          }
          // The whole point is kept, so the best value always belongs to the best point.
          if (f < fBest) fBest = f, std::copy(b.begin(), b.end(), best.begin());
        }
      }
      for (int j = lb; j <= ub; ++j) {
        const double ratio = double(accepted[j]) / kAnnealSweeps;
        if (ratio > 0.6)
          step[j] = std::min(step[j] * (1.0 + 2.0 * (ratio - 0.6) / 0.4), range[j]);
        else if (ratio < 0.4)
          step[j] /= 1.0 + 2.0 * (0.4 - ratio) / 0.4;
        accepted[j] = 0;
      }
    }
    t *= kAnnealCooling;
    ++iteration;
    done = true;
    // Scale-free: a step is small against its parameter, or against the width of the box.
    const double tol = state.Tol();
    for (int j = lb; j <= ub; ++j)
      if (step[j] > std::max(tol * std::fabs(best[j]), tol * tol * range[j])) done = false;
  } while (!done && iteration <= state.MaxIter());
  state.iterations = iteration - 1;

  for (int j = lb; j <= ub; ++j) b[j] = best[j];
  return done ? kFitOk : kFitIterationLimit;
}

}  // namespace quellar::numerics
