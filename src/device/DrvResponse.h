#pragma once
// Sample blocks: 3-byte groups, each packing two 12-bit words (bits 0..9 the value, bit 10 a
// flag, bit 11 unused). The quadrature layout holds one real/imaginary pair per group, the
// amplitude layout two amplitudes.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quellar::device {

class TDriverController;

// One sequence of samples; both arrays have the owning response's Count.
class TDriverResponseSamples {
 public:
  std::vector<float> Values;
  std::vector<bool> Flags;

  // No bounds check: callers keep i within 0..Count-1.
  double GetValue(int32_t i) const;
};

class TDriverResponse {
 public:
  TDriverResponse();

  int32_t Count() const { return count_; }
  void SetCount(int32_t n);

  TDriverResponseSamples Amplitude;
  TDriverResponseSamples Real;
  TDriverResponseSamples Imaginary;

  void DecodeQuadrature(const uint8_t* bytes, size_t size);
  void DecodeAmplitude(const uint8_t* bytes, size_t size);
  // Fetches one block through the controller and decodes it by the detector mode of its
  // state; on failure the samples keep what they held.
  bool Receive(TDriverController* controller);

 private:
  int32_t count_ = 0;
};

}  // namespace quellar::device
