// The exponential regression as the math object runs it: "Sum of exponentials" with one
// exponential, own estimate, then Marquardt refinement, on 5,000 noisy points.
#include <benchmark/benchmark.h>

#include "FitData.h"

namespace quellar::numerics::bench {
namespace {

void Report(benchmark::State& state, const Decay& d, const Vector& b, const FitSummary& fit) {
  state.counters["iter"] = fit.iterations;
  state.counters["evals"] = fit.evaluations;
  state.counters["sweeps"] = fit.derivativeSweeps;
  state.counters["A"] = b[1];
  state.counters["k"] = b[2];
  state.SetLabel(SsrLabel(SumOfSquares(d, b[1], b[2])));
}

// Estimate and refinement: the whole regression.
void BM_ExponentialEstimateAndMarquardt(benchmark::State& state) {
  Decay d;
  Vector b(3);
  FitSummary summary;
  for (auto _ : state) {
    b.assign(3, 0.0);
    if (FitDecay(d, true, 1000, b, &summary) != kFitOk) state.SkipWithError("fit failed");
    benchmark::DoNotOptimize(b.data());
  }
  Report(state, d, b, summary);
}
BENCHMARK(BM_ExponentialEstimateAndMarquardt)->Unit(benchmark::kMillisecond);

// Refinement alone from the estimate: the start the GSL benchmark gets.
void BM_MarquardtFromEstimate(benchmark::State& state) {
  Decay d;
  const Vector start = Estimate(d);
  Vector b(3);
  FitSummary summary;
  for (auto _ : state) {
    b = start;
    if (FitDecay(d, false, 1000, b, &summary) != kFitOk) state.SkipWithError("fit failed");
    benchmark::DoNotOptimize(b.data());
  }
  state.counters["A0"] = start[1];
  state.counters["k0"] = start[2];
  Report(state, d, b, summary);
}
BENCHMARK(BM_MarquardtFromEstimate)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quellar::numerics::bench
