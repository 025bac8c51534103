// One measurement cycle through the automation objects against an analyzer stand-in whose
// answers are paced at the line speed: send the worked example, execute one run, read 5,000
// samples. Reports the wall time against the time the analyzer's bytes take on the line, and
// the calling thread's processor time as a share of the wall time.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>

#include <chrono>

#include "AnalyzerStandIn.h"
#include "automation/Quellar.h"

namespace {

constexpr uint32_t kLineBytesPerSecond = 11520;

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Bytes the analyzer puts on the line for one cycle: every answer, framed and stuffed.
size_t AnalyzerBytes(quellar::test::AnalyzerStandIn& analyzer, size_t uploadChunks) {
  using quellar::device::EncodeFrame;
  using quellar::device::TDriverFrame;
  size_t bytes = uploadChunks * EncodeFrame(TDriverFrame{0x00, 0, 0}).size();
  bytes +=
      EncodeFrame(TDriverFrame{0x02, 0x02}).size() + EncodeFrame(TDriverFrame{0x02, 0x04}).size();
  for (size_t at = 0; at < analyzer.block.size(); at += 200) {
    TDriverFrame piece;
    const size_t n = std::min<size_t>(200, analyzer.block.size() - at);
    piece.Resize(static_cast<int32_t>(n + 3));
    piece[0] = 0x03;
    piece.SetWord(1, static_cast<uint16_t>(at));
    std::copy(analyzer.block.begin() + at, analyzer.block.begin() + at + n, piece.Data() + 3);
    bytes += EncodeFrame(piece).size();
  }
  TDriverFrame total{0x00, 0, 0};
  total.SetWord(1, static_cast<uint16_t>(analyzer.block.size()));
  return bytes + EncodeFrame(total).size();
}

void BM_MeasurementCycleAtLineSpeed(benchmark::State& state) {
  quellar::test::PtyPair pty;
  quellar::test::AnalyzerStandIn analyzer(pty);
  analyzer.runMs = 0;
  for (int i = 0; i < 5000; ++i)
    quellar::test::AnalyzerStandIn::AddSample(analyzer.block, static_cast<uint16_t>(i % 1024),
                                              static_cast<uint16_t>((3 * i) % 1024));
  setenv("QUELLAR_COM7", pty.SlavePath().c_str(), 1);
  IController* controller = nullptr;
  QuellarCreateObject("Quellar.Controller", &IID_IController,
                      reinterpret_cast<void**>(&controller));
  VARIANT_BOOL ok = VARIANT_FALSE;
  controller->Open(7, &ok);
  ICompiler* compiler = nullptr;
  IAnalysis* analysis = nullptr;
  controller->get_Compiler(&compiler);
  controller->get_Analysis(&analysis);
  compiler->AddImpulse(2500, 90, 8000);
  compiler->AddReading(3000, 1000);
  compiler->AddSilence(1250);
  analyzer.Pace(kLineBytesPerSecond);

  double wall = 0, cpu = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = ThreadCpuSeconds();
    VARIANT_BOOL sent = VARIANT_FALSE, executed = VARIANT_FALSE;
    compiler->Send(&sent);
    analysis->Execute(5000, 0, 1, 0.0, &executed);
    if (sent != VARIANT_TRUE || executed != VARIANT_TRUE) state.SkipWithError("cycle failed");
    cpu += ThreadCpuSeconds() - cpuStart;
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  const double line = static_cast<double>(AnalyzerBytes(analyzer, 1)) / kLineBytesPerSecond;
  const double n = static_cast<double>(state.iterations());
  state.counters["line_s"] = line;
  state.counters["wall_s"] = wall / n;
  state.counters["wall_over_line"] = wall / n / line;
  state.counters["cpu_pct"] = 100.0 * cpu / wall;
  analysis->Release();
  compiler->Release();
  controller->Release();
}
BENCHMARK(BM_MeasurementCycleAtLineSpeed)
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
