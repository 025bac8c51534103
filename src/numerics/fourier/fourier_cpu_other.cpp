// Targets without the wide build: everything runs the baseline passes.
#include "numerics/fourier/fourier_passes.h"

namespace quellar::fourier::detail {

bool WideAvailable() {
  return false;
}

namespace wide {
void RunStages(const Plan& plan, const double* xr, const double* xi, double* yr, double* yi,
               double* tr, double* ti, double lastScale) {
  generic::RunStages(plan, xr, xi, yr, yi, tr, ti, lastScale);
}
}  // namespace wide

}  // namespace quellar::fourier::detail
