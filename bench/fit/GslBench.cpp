// The reference: GSL's nonlinear least squares (trust region, Levenberg-Marquardt) on the same
// data from the same start.
#include <benchmark/benchmark.h>
#include <gsl/gsl_blas.h>
#include <gsl/gsl_errno.h>
#include <gsl/gsl_multifit_nlinear.h>

#include "FitData.h"

namespace quellar::numerics::bench {
namespace {

int Residuals(const gsl_vector* p, void* data, gsl_vector* f) {
  const Decay& d = *static_cast<const Decay*>(data);
  const double a = gsl_vector_get(p, 0), k = gsl_vector_get(p, 1);
  for (int i = 1; i <= kPoints; ++i) gsl_vector_set(f, i - 1, a * std::exp(-k * d.x[i]) - d.y[i]);
  return GSL_SUCCESS;
}

int Jacobian(const gsl_vector* p, void* data, gsl_matrix* j) {
  const Decay& d = *static_cast<const Decay*>(data);
  const double a = gsl_vector_get(p, 0), k = gsl_vector_get(p, 1);
  for (int i = 1; i <= kPoints; ++i) {
    const double e = std::exp(-k * d.x[i]);
    gsl_matrix_set(j, i - 1, 0, e);
    gsl_matrix_set(j, i - 1, 1, -a * d.x[i] * e);
  }
  return GSL_SUCCESS;
}

void BM_GslMultifitNlinearFromEstimate(benchmark::State& state) {
  Decay d;
  const Vector start = Estimate(d);
  gsl_multifit_nlinear_fdf fdf{};
  fdf.f = Residuals;
  fdf.df = Jacobian;
  fdf.n = kPoints;
  fdf.p = 2;
  fdf.params = &d;
  gsl_multifit_nlinear_parameters params = gsl_multifit_nlinear_default_parameters();
  gsl_multifit_nlinear_workspace* w =
      gsl_multifit_nlinear_alloc(gsl_multifit_nlinear_trust, &params, kPoints, 2);
  gsl_vector* p0 = gsl_vector_alloc(2);
  double a = 0, k = 0;
  for (auto _ : state) {
    gsl_vector_set(p0, 0, start[1]);
    gsl_vector_set(p0, 1, start[2]);
    gsl_multifit_nlinear_init(p0, &fdf, w);
    int info = 0;
    // xtol 1e-3 matches the relative step test of our Marquardt (Tol 0.001).
    if (gsl_multifit_nlinear_driver(1000, 1e-3, 1e-8, 0.0, nullptr, nullptr, &info, w) !=
        GSL_SUCCESS)
      state.SkipWithError("GSL fit failed");
    a = gsl_vector_get(gsl_multifit_nlinear_position(w), 0);
    k = gsl_vector_get(gsl_multifit_nlinear_position(w), 1);
    benchmark::DoNotOptimize(a);
  }
  state.counters["iter"] = static_cast<double>(gsl_multifit_nlinear_niter(w));
  state.counters["evals"] = static_cast<double>(fdf.nevalf);
  state.counters["sweeps"] = static_cast<double>(fdf.nevaldf);
  state.counters["A"] = a;
  state.counters["k"] = k;
  state.SetLabel(SsrLabel(SumOfSquares(d, a, k)));
  gsl_vector_free(p0);
  gsl_multifit_nlinear_free(w);
}
BENCHMARK(BM_GslMultifitNlinearFromEstimate)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quellar::numerics::bench
