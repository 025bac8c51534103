#include "numerics/fourier/fourier.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "numerics/fourier/fourier_plan.h"

namespace quellar::fourier {
namespace {

// Beyond this the working memory (up to about 200 bytes per element with the chirp
// convolution) could not be addressed.
constexpr std::size_t kMaxLength = SIZE_MAX / 256;

using detail::Overlaps;

bool AnyOverlap(const double* in1, const double* in2, const double* out1, const double* out2,
                std::size_t n) {
  return Overlaps(in1, out1, n) || Overlaps(in1, out2, n) || Overlaps(in2, out1, n) ||
         Overlaps(in2, out2, n);
}

// Per-thread working memory, grown on demand and reused by later calls up to a bound.
std::vector<double>& ScratchBuffer() {
  thread_local std::vector<double> buffer;
  return buffer;
}

double* Scratch(std::size_t size) {
  std::vector<double>& buffer = ScratchBuffer();
  if (buffer.size() < size) {
    buffer.clear();
    buffer.shrink_to_fit();
    buffer.resize(size);
  }
  return buffer.data();
}

// Gives back scratch beyond the bound once a transform is done.
void TrimScratch() {
  std::vector<double>& buffer = ScratchBuffer();
  if (buffer.size() * sizeof(double) > detail::kMaxKeptScratchBytes) {
    buffer.clear();
    buffer.shrink_to_fit();
  }
}

}  // namespace

namespace detail {
std::size_t KeptScratchBytes() {
  return ScratchBuffer().capacity() * sizeof(double);
}
}  // namespace detail

bool FourierTransform(const double* reIn, const double* imIn, double* reOut, double* imOut,
                      std::size_t n, int sign) {
  if (n == 0 || n > kMaxLength) return false;
  const int dir = sign == -1 ? -1 : 1;
  std::shared_ptr<const detail::Plan> hold;
  const detail::Plan& plan = detail::ThreadPlan(n, dir, hold);
  const double scale = sign == 1 ? 1.0 / static_cast<double>(n) : 1.0;
  detail::Execute(plan, reIn, imIn, reOut, imOut, scale, Scratch(detail::ScratchSize(plan)));
  TrimScratch();
  if (sign == 1 || sign == -1) return true;

  // cos + i*s*sin = (1+s)/2 * e^(+i) + (1-s)/2 * e^(-i), and the e^(-i) transform is the
  // e^(+i) one read backwards: X[k] = a*Y[k] + b*Y[n-k].
  const double a = (1.0 + static_cast<double>(sign)) / 2.0;
  const double b = (1.0 - static_cast<double>(sign)) / 2.0;
  for (std::size_t k = 1; 2 * k < n; ++k) {
    const std::size_t j = n - k;
    const double kr = reOut[k], ki = imOut[k], jr = reOut[j], ji = imOut[j];
    reOut[k] = a * kr + b * jr;
    imOut[k] = a * ki + b * ji;
    reOut[j] = a * jr + b * kr;
    imOut[j] = a * ji + b * ki;
  }
  return true;
}

bool PowerSpectrum(double* re, double* im, double* power, std::size_t n) {
  if (!FourierTransform(re, im, re, im, n, 1)) return false;
  const std::size_t half = n / 2;
  std::vector<double> held;
  double* out = power;
  if (Overlaps(power, re, n) || Overlaps(power, im, n)) {
    held.resize(n);
    out = held.data();
  }
  for (std::size_t i = 0, j = half; i < n; ++i) {
    out[j] = std::sqrt(re[i] * re[i] + im[i] * im[i]);
    if (++j == n) j = 0;
  }
  if (out != power) std::copy(held.begin(), held.end(), power);
  return true;
}

void CentreSpectrum(const double* reIn, const double* imIn, double* reOut, double* imOut,
                    std::size_t n) {
  if (n == 0) return;
  std::vector<double> heldRe, heldIm;
  if (AnyOverlap(reIn, imIn, reOut, imOut, n)) {
    heldRe.assign(reIn, reIn + n);
    heldIm.assign(imIn, imIn + n);
    reIn = heldRe.data();
    imIn = heldIm.data();
  }
  const std::size_t split = n - n / 2;  // element `split` moves to index 0
  std::rotate_copy(reIn, reIn + split, reIn + n, reOut);
  std::rotate_copy(imIn, imIn + split, imIn + n, imOut);
}

std::size_t PeakIndex(const double* values, std::size_t count) {
  double best = 0.0;
  std::size_t index = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (values[i] > best) {
      best = values[i];
      index = i;
    }
  }
  return index;
}

}  // namespace quellar::fourier
