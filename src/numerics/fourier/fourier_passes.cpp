// Compiled as is for the baseline instruction set, and included by fourier_passes_avx2.cpp
// with QUELLAR_PASSES_NS set to `wide`.
#ifndef QUELLAR_PASSES_NS
#define QUELLAR_PASSES_NS generic
#endif

#include "numerics/fourier/fourier_passes.h"

#include "numerics/fourier/fourier_kernels.h"

namespace quellar::fourier::detail::QUELLAR_PASSES_NS {

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
        RunFixed<2, Butterfly2>(st, sr, si, dr, di, scale);
        break;
      case 3:
        pos ? RunFixed<3, Butterfly3<1>>(st, sr, si, dr, di, scale)
            : RunFixed<3, Butterfly3<-1>>(st, sr, si, dr, di, scale);
        break;
      case 4:
        pos ? RunFixed<4, Butterfly4<1>>(st, sr, si, dr, di, scale)
            : RunFixed<4, Butterfly4<-1>>(st, sr, si, dr, di, scale);
        break;
      case 5:
        pos ? RunFixed<5, Butterfly5<1>>(st, sr, si, dr, di, scale)
            : RunFixed<5, Butterfly5<-1>>(st, sr, si, dr, di, scale);
        break;
      case 8:
        pos ? RunFixed<8, Butterfly8<1>>(st, sr, si, dr, di, scale)
            : RunFixed<8, Butterfly8<-1>>(st, sr, si, dr, di, scale);
        break;
      case 7:
        pos ? RunFixed<7, ButterflyOdd<7, 1>>(st, sr, si, dr, di, scale)
            : RunFixed<7, ButterflyOdd<7, -1>>(st, sr, si, dr, di, scale);
        break;
      case 11:
        pos ? RunFixed<11, ButterflyOdd<11, 1>>(st, sr, si, dr, di, scale)
            : RunFixed<11, ButterflyOdd<11, -1>>(st, sr, si, dr, di, scale);
        break;
      case 13:
        pos ? RunFixed<13, ButterflyOdd<13, 1>>(st, sr, si, dr, di, scale)
            : RunFixed<13, ButterflyOdd<13, -1>>(st, sr, si, dr, di, scale);
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
