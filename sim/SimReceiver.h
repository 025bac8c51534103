#pragma once
// The receiver of the virtual analyzer: gain, filter, detector and the converter that puts the
// signal on the raw 0..1023 scale and packs it into the sample block.
#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/SimRandom.h"
#include "sim/SimSample.h"

namespace quellar::sim {

constexpr int32_t kSimDetectorAmplitude = 8;
// The block's offsets travel in 16 bits.
constexpr size_t kSimMaxBlock = 65535;

struct TSimReceiverSettings {
  int32_t Gain = 2048;   // 0..4095
  int32_t Detector = 0;  // 8 amplitude, anything else quadrature
  int32_t Filter = 0;    // 0 off, 1 100 kHz, 2 300 kHz, 3 1000 kHz
  double OffsetHz = 0;   // the signal's frequency offset
};

// Amplification relative to gain 2048: 60 dB over the 12-bit range, even in decibels, so
// every code changes it by the same small ratio.
double SimGainFactor(int32_t gain);
// A first-order low-pass at the filter's corner; 1 with the filter off.
std::complex<double> SimFilterResponse(int32_t filter, double hz);
// Noise (rms) relative to the filter off, by the square root of the bandwidth passed.
double SimFilterNoise(int32_t filter);
// Most samples one block holds in the detector's layout.
size_t SimBlockCapacity(int32_t detector);

// Converts the detected signals (1 = the signal after 90 degrees from equilibrium) into raw
// words and replaces block with them, at most SimBlockCapacity samples. A word clipped at 0
// or 1023 carries the flag (bit 10).
void SimDigitize(const std::complex<double>* signal, size_t count, const TSimSample& sample,
                 const TSimReceiverSettings& settings, TSimRandom& random,
                 std::vector<uint8_t>& block);

}  // namespace quellar::sim
