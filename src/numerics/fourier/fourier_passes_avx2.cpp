// The butterfly passes once more, compiled with AVX2 and FMA (see CMakeLists.txt).
#define QUELLAR_PASSES_NS wide
#define QUELLAR_PASSES_AVX2
#include "numerics/fourier/fourier_passes.cpp"
