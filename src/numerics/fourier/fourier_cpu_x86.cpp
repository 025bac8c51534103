// x86 with GCC or Clang: the wide passes exist; the processor decides at run time.
#include "numerics/fourier/fourier_passes.h"

namespace quellar::fourier::detail {

bool WideAvailable() {
  __builtin_cpu_init();  // in case the first transform runs before the runtime's own init
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

}  // namespace quellar::fourier::detail
