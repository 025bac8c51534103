// The math processor as a client drives it: RegressionCustom with a C++ sink that computes a
// line (its cost per event, and the sink's own cost alone, so the object's overhead is the
// difference), and RegressionExp on the 5,000 noisy points of bench/fit.
#include <benchmark/benchmark.h>

#include "fit/FitData.h"
#include "math/MathSupport.h"

namespace quellar::math {
namespace {

using test::Array;

constexpr int kLinePoints = 1000;

struct LineFit {
  std::vector<double> xs, ys;
  LineFit() {
    for (int i = 0; i < kLinePoints; ++i) xs.push_back(0.01 * i), ys.push_back(1 + 2 * xs.back());
  }
};

// The whole custom fit; events per iteration and time per event as counters.
void BM_RegressionCustomPerEvent(benchmark::State& state) {
  IMathProcessor* math = nullptr;
  CreateMathProcessor(IID_IMathProcessor, reinterpret_cast<void**>(&math));
  test::TSink sink(test::Line);
  IConnectionPointContainer* container = nullptr;
  math->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
  IConnectionPoint* point = nullptr;
  container->FindConnectionPoint(DIID_IMathProcessorEvents, &point);
  DWORD cookie = 0;
  point->Advise(&sink, &cookie);
  const LineFit data;
  Array x(data.xs), y(data.ys), lo({-10, -10}), hi({10, 10}), coeffs;
  VARIANT_BOOL ok = 0;
  for (auto _ : state) {
    coeffs.Set({0.5, 0.5});
    math->RegressionCustom(x, y, 0, 2, lo, hi, coeffs, &ok);
    if (!ok) state.SkipWithError("fit failed");
  }
  state.counters["events"] =
      benchmark::Counter(static_cast<double>(sink.events), benchmark::Counter::kAvgIterations);
  state.counters["per_event"] = benchmark::Counter(
      static_cast<double>(sink.events), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  point->Unadvise(cookie);
  point->Release();
  container->Release();
  math->Release();
}
BENCHMARK(BM_RegressionCustomPerEvent)->Unit(benchmark::kMillisecond);

// The sink's own work per event, called directly with the arguments the object passes.
void BM_SinkAlonePerEvent(benchmark::State& state) {
  test::TSink sink(test::Line);
  Array coeffs({0.5, 0.5, 0, 0, 0}), derivs({0, 0, 0, 0, 0});
  VARIANT args[3];
  V_VT(&args[0]) = VT_DISPATCH, V_DISPATCH(&args[0]) = derivs;
  V_VT(&args[1]) = VT_DISPATCH, V_DISPATCH(&args[1]) = coeffs;
  V_VT(&args[2]) = VT_R8;
  DISPPARAMS params{args, nullptr, 3, 0};
  VARIANT result;
  double x = 0;
  for (auto _ : state) {
    V_R8(&args[2]) = x += 0.001;
    sink.Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
    benchmark::DoNotOptimize(V_R8(&result));
  }
}
BENCHMARK(BM_SinkAlonePerEvent);

// RegressionExp through the object on the data bench/fit gives GSL.
void BM_RegressionExpObject(benchmark::State& state) {
  IMathProcessor* math = nullptr;
  CreateMathProcessor(IID_IMathProcessor, reinterpret_cast<void**>(&math));
  const numerics::bench::Decay d;
  Array x(std::vector<double>(d.x.begin() + 1, d.x.end()));
  Array y(std::vector<double>(d.y.begin() + 1, d.y.end()));
  Array coeffs;
  VARIANT_BOOL ok = 0;
  for (auto _ : state) {
    math->RegressionExp(x, y, coeffs, &ok);
    if (!ok) state.SkipWithError("fit failed");
  }
  const std::vector<double> c = test::Values(coeffs);
  state.counters["A"] = c[0];
  state.counters["k"] = c[1];
  state.counters["ssr"] = numerics::bench::SumOfSquares(d, c[0], c[1]);
  math->Release();
}
BENCHMARK(BM_RegressionExpObject)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quellar::math
