#include "numerics/mcmc.h"

#include <cmath>
#include <vector>

namespace quellar::numerics {

FitResult MetropolisHastings(FitState& state, std::span<double> b, Matrix& v, RandomSeed seed,
                             int maxRejections) {
  const int lb = state.Lb(), ub = state.Ub();
  TRandom random(seed);
  EnsureSquare(v, ub);
  for (int j = lb; j <= ub; ++j) {
    const double width = state.Upper(j) - state.Lower(j);
    b[j] = state.Lower(j) + random.Uniform() * width;
    for (int k = lb; k <= ub; ++k) v[j][k] = 0.0;
    v[j][j] = (width / 6.0) * (width / 6.0);
  }

  Vector scale = NewVector(ub), z = NewVector(ub);
  Vector trial(b.begin(), b.end());
  std::vector<Vector> samples(kMcmcDraws, NewVector(ub));
  Matrix l;
  for (int cycle = 0; cycle < kMcmcCycles; ++cycle) {
    state.iterations = cycle + 1;
    if (cycle == 0) {
      for (int j = lb; j <= ub; ++j) {
        if (!(v[j][j] > 0)) return kFitIterationLimit;
        scale[j] = std::sqrt(v[j][j]);
      }
    } else if (Cholesky(v, lb, ub, l) != kFitOk) {
      return kFitIterationLimit;
    }
    double f = state.Objective(b);
    int rejected = 0;
    for (int count = 0; count < kMcmcDraws;) {
      for (int j = lb; j <= ub; ++j) z[j] = random.Normal();
      for (int j = lb; j <= ub; ++j) {
        double step = 0.0;
        if (cycle == 0) {
          step = scale[j] * z[j];
        } else {
          for (int k = lb; k <= j; ++k) step += l[j][k] * z[k];
        }
        trial[j] = b[j] + step;
      }
      // A trial outside the bounds is never taken: on a stretch where the model overflows
      // the current point scores the barrier too, and "no worse" would walk the chain out.
      bool inside = true;
      for (int j = lb; j <= ub; ++j)
        inside = inside && trial[j] >= state.Lower(j) && trial[j] <= state.Upper(j);
      const double value = inside ? state.Objective(trial) : 0.0;
      const double rise = (value - f) / kMcmcTemperature;
      const bool accept =
          inside && (rise < 0 || (!(rise > kLogMax) && Exp(-rise) > random.Uniform()));
      if (!accept) {
        if (++rejected >= maxRejections) return kFitIterationLimit;
        continue;
      }
      for (int j = lb; j <= ub; ++j) b[j] = trial[j], samples[count][j] = trial[j];
      f = value;
      ++count;
    }
    for (int j = lb; j <= ub; ++j) {
      double s = 0.0;
      for (const Vector& t : samples) s += t[j];
      b[j] = s / kMcmcDraws;
    }
    for (int j = lb; j <= ub; ++j)
      for (int k = lb; k <= ub; ++k) {
        double s = 0.0;
        for (const Vector& t : samples) s += (t[j] - b[j]) * (t[k] - b[k]);
        v[j][k] = s / kMcmcDraws;
      }
  }
  return kFitOk;
}

}  // namespace quellar::numerics
