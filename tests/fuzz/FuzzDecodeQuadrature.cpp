// The quadrature layout: one real/imaginary pair per 3-byte group, trailing bytes ignored.
#include "FuzzSampleBlock.h"

using namespace quellar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  device::TDriverResponse r;
  r.DecodeQuadrature(data, size);
  fuzz::CheckSequenceSizes(r, size / 3);
  for (size_t i = 0; i < size / 3; ++i) {
    const float re = r.Real.Values[i];
    const float im = r.Imaginary.Values[i];
    fuzz::Require(fuzz::IsTenBit(re) && fuzz::IsTenBit(im));
    fuzz::Require(re == static_cast<float>(((data[3 * i + 1] & 0x03) << 8) | data[3 * i]));
    fuzz::Require(r.Real.Flags[i] == ((data[3 * i + 1] & 0x04) != 0));
    const double amp = std::sqrt(static_cast<double>(re) * re + static_cast<double>(im) * im);
    fuzz::Require(std::fabs(r.Amplitude.Values[i] - amp) <= 1e-3);
    fuzz::Require(r.Amplitude.Flags[i] == (r.Real.Flags[i] || r.Imaginary.Flags[i]));
  }
  // Decoding again into the same response overwrites, never accumulates.
  r.DecodeQuadrature(data, size / 2);
  fuzz::CheckSequenceSizes(r, size / 2 / 3);
  return 0;
}
