// What one run costs the virtual analyzer: the tuning's probe (100 baseline samples, an
// impulse, a 5,000-sample reading), a CPMG echo train, and the probe through the device
// controller on the in-process transport (frames, codec and all).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "device/DrvController.h"
#include "platform/Clock.h"
#include "program/DrvCompilerBytecode.h"
#include "sim/SimAnalyzer.h"
#include "sim/SimTransport.h"

namespace {

using quellar::program::TProgramCompilerBytecode;
using quellar::sim::TSimAnalyzer;

std::vector<uint8_t> Compile(TProgramCompilerBytecode& p) {
  std::vector<uint8_t> code;
  p.Compile(&code, false);
  return code;
}

std::vector<uint8_t> Probe() {
  TProgramCompilerBytecode p;
  p.AddReading(100000, 1000);
  p.AddImpulse(0, 3300, 8000);
  p.AddSilence(10000);
  p.AddReading(5000000, 1000);
  return Compile(p);
}

// 90x, then 500 refocusing impulses 1 ms apart with one sample at each echo.
std::vector<uint8_t> Cpmg() {
  TProgramCompilerBytecode echo, p;
  echo.AddImpulse(1, 6600, 500000 - 3300);
  echo.AddReading(500, 500);
  echo.AddSilence(500000 - 100 - 3300 - 500);
  p.AddImpulse(0, 3300, 500000 - 100 - 4950);
  p.AddPackage(&echo, 500);
  return Compile(p);
}

void Play(benchmark::State& state, const std::vector<uint8_t>& code) {
  TSimAnalyzer analyzer;
  analyzer.Load(code.data(), code.size());
  int64_t now = 0;
  size_t samples = 0;
  for (auto _ : state) {
    analyzer.Start(now);
    now = analyzer.FinishTime();
    const std::vector<uint8_t>& block = analyzer.Block(now);
    benchmark::DoNotOptimize(block.data());
    samples = block.size() / 3;
    now += 500'000'000;  // the tuning's pause
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * samples));
}

void BM_ProbeRun(benchmark::State& state) {
  Play(state, Probe());
}
BENCHMARK(BM_ProbeRun)->Unit(benchmark::kMicrosecond);

void BM_CpmgTrain(benchmark::State& state) {
  Play(state, Cpmg());
}
BENCHMARK(BM_CpmgTrain)->Unit(benchmark::kMicrosecond);

void BM_ProbeThroughController(benchmark::State& state) {
  quellar::platform::VirtualClock clock;
  quellar::platform::ScopedClock scoped(clock);
  quellar::sim::TSimTransport transport;
  transport.Open("");
  quellar::device::TDriverController controller(&transport);
  const std::vector<uint8_t> code = Probe();
  controller.UploadProgram(code.data(), static_cast<int32_t>(code.size()));
  std::vector<uint8_t> block;
  for (auto _ : state) {
    if (!controller.RunProgram(1000) || !controller.ReadSamples(&block)) {
      state.SkipWithError("run failed");
      break;
    }
    clock.Advance(500);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * block.size() / 3));
}
BENCHMARK(BM_ProbeThroughController)->Unit(benchmark::kMicrosecond);

}  // namespace
