// Compilation of programs whose code is exactly the longest the analyzer takes.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "program/DrvCompilerBytecode.h"

namespace {

using quellar::program::kMaxCodeSize;
using quellar::program::TProgramCompiler;
using quellar::program::TProgramCompilerBytecode;

void Run(benchmark::State& state, TProgramCompilerBytecode& program, size_t expectedSize) {
  std::vector<uint8_t> code;
  code.reserve(kMaxCodeSize);
  for (auto _ : state) {
    code.clear();
    const bool ok = program.Compile(&code, false);
    benchmark::DoNotOptimize(code.data());
    if (!ok || code.size() != expectedSize) {
      state.SkipWithError("unexpected code size");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * expectedSize));
}

// 16383 samples of two bytes each and the end mark.
void BM_CompileLongestReading(benchmark::State& state) {
  TProgramCompilerBytecode program;
  program.AddReading(int64_t{16383} * 1000, 1000);
  Run(state, program, kMaxCodeSize);
}
BENCHMARK(BM_CompileLongestReading)->Unit(benchmark::kMicrosecond);

// 1170 repetitions of an impulse and a three-sample reading (28 bytes), a closing silence of
// 6 bytes and the end mark.
void BM_CompileLongestMixedPackage(benchmark::State& state) {
  TProgramCompilerBytecode body;
  body.AddImpulse(1, 2500, 8000);
  body.AddReading(3000, 1000);
  TProgramCompilerBytecode program;
  program.AddPackage(&body, 1170);
  program.AddSilence(3000);
  Run(state, program, kMaxCodeSize);
}
BENCHMARK(BM_CompileLongestMixedPackage)->Unit(benchmark::kMicrosecond);

// Empty packages repeated 2^31 - 1 times, nested three deep: nothing to write, little to do.
void BM_CompileNestedEmptyPackages(benchmark::State& state) {
  constexpr int32_t kCount = std::numeric_limits<int32_t>::max();
  TProgramCompiler inner, middle;
  middle.AddPackage(&inner, kCount);
  TProgramCompiler outer;
  outer.AddPackage(&middle, kCount);
  TProgramCompilerBytecode program;
  program.AddPackage(&outer, kCount);
  Run(state, program, 1);
}
BENCHMARK(BM_CompileNestedEmptyPackages)->Unit(benchmark::kMicrosecond);

}  // namespace
