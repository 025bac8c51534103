// The butterfly passes once more, compiled with AVX2 and FMA (see CMakeLists.txt).
#define QUELLAR_PASSES_NS wide
#include "numerics/fourier/fourier_passes.cpp"
