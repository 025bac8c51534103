// The amplitude layout: two samples per 3-byte group; a partial last group gives word A only.
#include "FuzzSampleBlock.h"

using namespace quellar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  device::TDriverResponse r;
  r.DecodeAmplitude(data, size);
  const size_t count = 2 * size / 3;
  fuzz::CheckSequenceSizes(r, count);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* g = data + 3 * (i / 2);
    const unsigned word =
        (i % 2 == 0) ? (((g[1] & 0x0F) << 8) | g[0]) : (((g[1] & 0xF0) << 4) | g[2]);
    fuzz::Require(r.Amplitude.Values[i] == static_cast<float>(word & 0x3FF));
    fuzz::Require(r.Amplitude.Flags[i] == ((word & 0x400) != 0));
    fuzz::Require(r.Real.Values[i] == r.Amplitude.Values[i]);
    fuzz::Require(r.Real.Flags[i] == r.Amplitude.Flags[i]);
    fuzz::Require(r.Imaginary.Values[i] == 0.0f && !r.Imaginary.Flags[i]);
  }
  return 0;
}
