#include "sim/SimReceiver.h"

#include <algorithm>
#include <cmath>

namespace quellar::sim {

namespace {

constexpr double kCornerHz[4] = {0, 100e3, 300e3, 1000e3};
// What the receiver passes with the filter off.
constexpr double kFrontEndHz = 2e6;

uint16_t Word(double value) {
  const double r = std::nearbyint(value);
  if (r <= 0) return 0x400;
  if (r >= 1023) return 0x400 | 1023;
  return static_cast<uint16_t>(r);
}

}  // namespace

double SimGainFactor(int32_t gain) {
  gain = std::clamp(gain, 0, 4095);
  return std::pow(10.0, 3.0 * (gain - 2048) / 4095.0);
}

std::complex<double> SimFilterResponse(int32_t filter, double hz) {
  const double corner = kCornerHz[filter & 3];
  if (corner == 0) return 1.0;
  return 1.0 / std::complex<double>(1.0, hz / corner);
}

double SimFilterNoise(int32_t filter) {
  const double corner = kCornerHz[filter & 3];
  return corner == 0 ? 1.0 : std::sqrt(corner / kFrontEndHz);
}

size_t SimBlockCapacity(int32_t detector) {
  return detector == kSimDetectorAmplitude ? kSimMaxBlock * 2 / 3 : kSimMaxBlock / 3;
}

void SimDigitize(const std::complex<double>* signal, size_t count, const TSimSample& sample,
                 const TSimReceiverSettings& settings, TSimRandom& random,
                 std::vector<uint8_t>& block) {
  count = std::min(count, SimBlockCapacity(settings.Detector));
  const double gain = SimGainFactor(settings.Gain);
  const std::complex<double> scale =
      sample.Amplitude * gain * SimFilterResponse(settings.Filter, settings.OffsetHz);
  const double sigma = sample.Noise * gain * SimFilterNoise(settings.Filter);
  block.clear();
  if (settings.Detector == kSimDetectorAmplitude) {
    block.reserve(count * 3 / 2 + 2);
    uint16_t held = 0;
    for (size_t i = 0; i < count; ++i) {
      const double nr = random.Normal(), ni = random.Normal();
      const std::complex<double> v = scale * signal[i] + sigma * std::complex<double>(nr, ni);
      const uint16_t w = Word(std::abs(v));
      if (i % 2 == 0) {
        held = w;
        continue;
      }
      block.push_back(static_cast<uint8_t>(held));
      block.push_back(static_cast<uint8_t>(((held >> 8) & 0x0F) | ((w >> 4) & 0xF0)));
      block.push_back(static_cast<uint8_t>(w));
    }
    if (count % 2 == 1) {
      block.push_back(static_cast<uint8_t>(held));
      block.push_back(static_cast<uint8_t>((held >> 8) & 0x0F));
    }
    return;
  }
  block.resize(count * 3);
  uint8_t* out = block.data();
  for (size_t i = 0; i < count; ++i, out += 3) {
    const double nr = random.Normal(), ni = random.Normal();
    const std::complex<double> v = scale * signal[i];
    const uint16_t a = Word(sample.Baseline + v.real() + sigma * nr);
    const uint16_t b = Word(sample.Baseline + v.imag() + sigma * ni);
    out[0] = static_cast<uint8_t>(a);
    out[1] = static_cast<uint8_t>(((a >> 8) & 0x0F) | ((b >> 4) & 0xF0));
    out[2] = static_cast<uint8_t>(b);
  }
}

}  // namespace quellar::sim
