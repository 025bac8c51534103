#pragma once
// Discrete Fourier transform of complex sequences of any length, on raw storage.
//
// A sequence of length n is two arrays of n doubles, real and imaginary parts. With sign 1
// the transform is the normalised one with the positive exponent,
//   X[k] = (1/n) * sum_j x[j] * e^(+2*pi*i*j*k/n),
// and with any other sign s it is the unnormalised sum with the kernel cos + i*s*sin
// (s = -1 is the inverse of sign 1). Every length from 1 up runs in O(n log n): smooth
// lengths through mixed-radix stages, lengths with a large prime factor through a chirp
// convolution. Plans are cached per length and direction; all routines are thread-safe.
#include <cstddef>

namespace quellar::fourier {

// Transforms (reIn, imIn) into (reOut, imOut). The outputs may be the inputs or overlap
// them in any way. Returns false, leaving the outputs untouched, for n = 0 and for lengths
// too large to address. Throws std::bad_alloc when the working memory cannot be had.
bool FourierTransform(const double* reIn, const double* imIn, double* reOut, double* imOut,
                      std::size_t n, int sign);

// Replaces (re, im) with their normalised transform (sign 1, unshifted) and writes the
// amplitude sqrt(re^2 + im^2) of the centred transform into power. power may overlap re or
// im. Returns false for n = 0 (nothing is touched).
bool PowerSpectrum(double* re, double* im, double* power, std::size_t n);

// Rotates the sequence by n div 2 places: element i lands at (i + n div 2) mod n, so the
// zero frequency ends up at index n div 2. Outputs may be the inputs or overlap them.
void CentreSpectrum(const double* reIn, const double* imIn, double* reOut, double* imOut,
                    std::size_t n);

// Index of the first largest value among values[0..count-1] that exceeds 0; 0 when none
// does (so all-negative input gives 0). NaN is never chosen.
std::size_t PeakIndex(const double* values, std::size_t count);

}  // namespace quellar::fourier
