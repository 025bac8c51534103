// Transform speed against FFTW (used here only, as the yardstick). Both sides compute the
// normalised transform with the positive exponent: FFTW's backward direction followed by the
// same 1/n scaling. FFTW plans are made with FFTW_ESTIMATE outside the timed loop; ours come
// from the plan cache, warmed before timing.
#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <random>
#include <vector>

#include "numerics/fourier/fourier.h"

namespace {

constexpr long kLengths[] = {64, 256, 1000, 1024, 4096, 4099, 5000, 16384, 65521, 65536};

void Lengths(benchmark::internal::Benchmark* b) {
  for (long n : kLengths) b->Arg(n);
}

std::vector<double> Noise(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  std::vector<double> v(n);
  for (double& x : v) x = dist(gen);
  return v;
}

void BM_Quellar(benchmark::State& state) {
  const std::size_t n = state.range(0);
  const std::vector<double> re = Noise(n, 1), im = Noise(n, 2);
  std::vector<double> outRe(n), outIm(n);
  quellar::fourier::FourierTransform(re.data(), im.data(), outRe.data(), outIm.data(), n, 1);
  for (auto _ : state) {
    quellar::fourier::FourierTransform(re.data(), im.data(), outRe.data(), outIm.data(), n, 1);
    benchmark::DoNotOptimize(outRe.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_Quellar)->Apply(Lengths)->Unit(benchmark::kMicrosecond);

// FFTW on interleaved complex data, its native layout.
void BM_FftwInterleaved(benchmark::State& state) {
  const std::size_t n = state.range(0);
  const std::vector<double> re = Noise(n, 1), im = Noise(n, 2);
  auto* in = fftw_alloc_complex(n);
  auto* out = fftw_alloc_complex(n);
  fftw_plan plan = fftw_plan_dft_1d(static_cast<int>(n), in, out, FFTW_BACKWARD, FFTW_ESTIMATE);
  for (std::size_t i = 0; i < n; ++i) {
    in[i][0] = re[i];
    in[i][1] = im[i];
  }
  const double scale = 1.0 / static_cast<double>(n);
  for (auto _ : state) {
    fftw_execute(plan);
    for (std::size_t i = 0; i < n; ++i) {
      out[i][0] *= scale;
      out[i][1] *= scale;
    }
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * n);
  fftw_destroy_plan(plan);
  fftw_free(in);
  fftw_free(out);
}
BENCHMARK(BM_FftwInterleaved)->Apply(Lengths)->Unit(benchmark::kMicrosecond);

// FFTW on split real/imaginary arrays, the layout our routine takes. Swapping the real and
// imaginary parts turns FFTW's forward transform into the positive-exponent one.
void BM_FftwSplit(benchmark::State& state) {
  const std::size_t n = state.range(0);
  std::vector<double> re = Noise(n, 1), im = Noise(n, 2);
  std::vector<double> outRe(n), outIm(n);
  fftw_iodim dim{static_cast<int>(n), 1, 1};
  fftw_plan plan = fftw_plan_guru_split_dft(1, &dim, 0, nullptr, im.data(), re.data(), outIm.data(),
                                            outRe.data(), FFTW_ESTIMATE);
  const double scale = 1.0 / static_cast<double>(n);
  for (auto _ : state) {
    fftw_execute(plan);
    for (std::size_t i = 0; i < n; ++i) {
      outRe[i] *= scale;
      outIm[i] *= scale;
    }
    benchmark::DoNotOptimize(outRe.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * n);
  fftw_destroy_plan(plan);
}
BENCHMARK(BM_FftwSplit)->Apply(Lengths)->Unit(benchmark::kMicrosecond);

}  // namespace
