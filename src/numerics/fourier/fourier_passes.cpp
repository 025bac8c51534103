// Compiled as is for the baseline instruction set, and included by fourier_passes_avx2.cpp
// with QUELLAR_PASSES_NS set to `wide`.
#ifndef QUELLAR_PASSES_NS
#define QUELLAR_PASSES_NS generic
#endif

#include "numerics/fourier/fourier_passes.h"

#include "numerics/fourier/fourier_kernels.h"
// The AVX2 copy brings vector passes (RunVector); the baseline copy has none.
#ifdef QUELLAR_PASSES_AVX2
#include "numerics/fourier/fourier_kernels_avx2.h"
#else
namespace quellar::fourier::detail::QUELLAR_PASSES_NS {
namespace {
template <int R, class B>
bool RunVector(const Stage&, const double*, const double*, double*, double*, double) {
  return false;
}
}  // namespace
}  // namespace quellar::fourier::detail::QUELLAR_PASSES_NS
#endif

namespace quellar::fourier::detail::QUELLAR_PASSES_NS {
namespace {

// One pass: the vector pass where this copy has one for the stage, the tiled one otherwise.
template <int R, class B>
void RunPass(const Stage& st, const double* xr, const double* xi, double* yr, double* yi,
             double scale) {
  if (!RunVector<R, B>(st, xr, xi, yr, yi, scale)) RunFixed<R, B>(st, xr, xi, yr, yi, scale);
}

}  // namespace

void RunStages(const Plan& plan, const double* xr, const double* xi, double* yr, double* yi,
               double* tr, double* ti, double lastScale) {
  const std::size_t count = plan.stages.size();
  const bool pos = plan.dir > 0;
  const double* sr = xr;
  const double* si = xi;
  for (std::size_t i = 0; i < count; ++i) {
    const bool toY = (count - 1 - i) % 2 == 0;
    double* dr = toY ? yr : tr;
    double* di = toY ? yi : ti;
    const Stage& st = plan.stages[i];
    const double scale = i + 1 == count ? lastScale : 1.0;
    switch (st.radix) {
      case 2:
        RunPass<2, Butterfly2>(st, sr, si, dr, di, scale);
        break;
      case 3:
        pos ? RunPass<3, Butterfly3<1>>(st, sr, si, dr, di, scale)
            : RunPass<3, Butterfly3<-1>>(st, sr, si, dr, di, scale);
        break;
      case 4:
        pos ? RunPass<4, Butterfly4<1>>(st, sr, si, dr, di, scale)
            : RunPass<4, Butterfly4<-1>>(st, sr, si, dr, di, scale);
        break;
      case 5:
        pos ? RunPass<5, Butterfly5<1>>(st, sr, si, dr, di, scale)
            : RunPass<5, Butterfly5<-1>>(st, sr, si, dr, di, scale);
        break;
      case 8:
        pos ? RunPass<8, Butterfly8<1>>(st, sr, si, dr, di, scale)
            : RunPass<8, Butterfly8<-1>>(st, sr, si, dr, di, scale);
        break;
      case 7:
        pos ? RunPass<7, ButterflyOdd<7, 1>>(st, sr, si, dr, di, scale)
            : RunPass<7, ButterflyOdd<7, -1>>(st, sr, si, dr, di, scale);
        break;
      case 11:
        pos ? RunPass<11, ButterflyOdd<11, 1>>(st, sr, si, dr, di, scale)
            : RunPass<11, ButterflyOdd<11, -1>>(st, sr, si, dr, di, scale);
        break;
      case 13:
        pos ? RunPass<13, ButterflyOdd<13, 1>>(st, sr, si, dr, di, scale)
            : RunPass<13, ButterflyOdd<13, -1>>(st, sr, si, dr, di, scale);
        break;
      default:
        RunGenericPrime(st, sr, si, dr, di, scale);
        break;
    }
    sr = dr;
    si = di;
  }
}

}  // namespace quellar::fourier::detail::QUELLAR_PASSES_NS
