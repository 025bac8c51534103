// Device link costs: what waiting for an answer costs the processor (over a real
// pseudo-terminal whose far end never answers), and the codec and sample decoding rates.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <vector>

#include "device/DrvConnection.h"
#include "device/DrvController.h"
#include "device/DrvFrame.h"
#include "device/DrvResponse.h"
#include "device/PtyPair.h"

using namespace quellar;

namespace {

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A Transact that is never answered: three attempts of 2 s. The waiting blocks in poll(),
// so the processor time should be a small fraction of the wall time.
void BM_UnansweredTransactOverPty(benchmark::State& state) {
  test::PtyPair pty;
  device::TDriverHardwareRS232 port;
  if (!pty.Ok() || !port.Open(pty.Parameters())) {
    state.SkipWithError("no pseudo-terminal");
    return;
  }
  device::TDriverController controller(&port);
  const device::TDriverFrame frame{0x81};
  double wall = 0, cpu = 0;
  bool answered = false;
  for (auto _ : state) {
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    answered = controller.Transact(frame, 0x81);
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    cpu += CpuSeconds() - cpu0;
  }
  const std::vector<uint8_t> sent = pty.Receive(15, 100);
  state.counters["wall_s"] = wall / static_cast<double>(state.iterations());
  state.counters["cpu_s"] = cpu / static_cast<double>(state.iterations());
  state.counters["cpu_pct_of_core"] = wall > 0 ? 100.0 * cpu / wall : 0;
  state.counters["frames_sent"] = static_cast<double>(sent.size()) / 5.0;
  if (answered) state.SkipWithError("unexpected answer");
}
BENCHMARK(BM_UnansweredTransactOverPty)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_EncodeFrame(benchmark::State& state) {
  device::TDriverFrame frame;
  frame.Resize(static_cast<int32_t>(state.range(0)));
  for (int32_t i = 0; i < frame.Size(); ++i)
    frame[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
  std::vector<uint8_t> out;
  for (auto _ : state) {
    out.clear();
    device::EncodeFrame(frame, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_EncodeFrame)->Arg(1027);

void BM_DecodeFrameStream(benchmark::State& state) {
  // A 64 KiB block in 200-byte pieces, as the analyzer sends samples.
  std::vector<uint8_t> wire;
  size_t payload = 0;
  for (uint16_t at = 0; at < 65000; at += 200) {
    device::TDriverFrame piece;
    piece.Resize(203);
    piece[0] = 0x03;
    piece.SetWord(1, at);
    for (int i = 3; i < 203; ++i) piece[static_cast<size_t>(i)] = static_cast<uint8_t>(at + i);
    device::EncodeFrame(piece, wire);
    payload += 200;
  }
  device::TDriverFrameDecoder decoder;
  for (auto _ : state) {
    device::TDriverFrameList frames;
    decoder.Feed(wire.data(), wire.size(), frames);
    benchmark::DoNotOptimize(frames.size());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload));
}
BENCHMARK(BM_DecodeFrameStream);

void BM_DecodeQuadrature(benchmark::State& state) {
  std::vector<uint8_t> block(65535);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 31);
  device::TDriverResponse response;
  for (auto _ : state) {
    response.DecodeQuadrature(block.data(), block.size());
    benchmark::DoNotOptimize(response.Amplitude.Values.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * response.Count());
}
BENCHMARK(BM_DecodeQuadrature);

}  // namespace
