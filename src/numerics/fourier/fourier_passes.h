#pragma once
// The butterfly passes of a plan, built once for the baseline instruction set (generic) and,
// where the compiler and processor family allow, once more for AVX2 with FMA (wide).
#include "numerics/fourier/fourier_plan.h"

namespace quellar::fourier::detail {

// Runs the stages of plan from x to y; t is a second buffer of plan.n values. The passes
// alternate between y and t so that the last lands in y; x is only read, by the first. The
// outputs of the last pass are multiplied by lastScale.
namespace generic {
void RunStages(const Plan& plan, const double* xr, const double* xi, double* yr, double* yi,
               double* tr, double* ti, double lastScale);
}
namespace wide {
void RunStages(const Plan& plan, const double* xr, const double* xi, double* yr, double* yi,
               double* tr, double* ti, double lastScale);
}

// True when wide::RunStages may run on this processor.
bool WideAvailable();

}  // namespace quellar::fourier::detail
