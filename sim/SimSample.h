#pragma once
// What the virtual analyzer simulates: the sample's spin physics, the receiver's scale and the
// state of its two units at switch-on. Every field can be given as key=value in one text.
#include <cstdint>
#include <string>

namespace quellar::sim {

struct TSimSample {
  // Spins; times in nanoseconds. T2Star is the decay of a free induction (T2 together with
  // the static spread of offsets), so it must be shorter than T2.
  double D90 = 3300;
  double T1 = 5e7;
  double T2 = 3e7;
  double T2Star = 1e6;
  // Relative rms spread of the flip angle over the sample (the field of the coil is not even).
  double FlipSpread = 0.05;
  // Coarse bias code at which the signal has no frequency offset (with precise bias 2048);
  // each coarse code moves the offset by HzPerCode, each precise code by FineShare of that.
  double Resonance = 1700;
  double HzPerCode = 200;
  double FineShare = 1.0 / 64;
  // Receiver, in raw units at gain 2048 with the filter off: the signal right after a 90
  // degree impulse from equilibrium, the noise per channel (rms), the zero level.
  double Amplitude = 200;
  double Noise = 1.5;
  double Baseline = 512;
  uint64_t Seed = 1;
  // Temperatures in degrees; a NaN reading is reported as absent. The sample approaches its
  // set-point with the time constant ThermalTau (seconds).
  double SampleTemperature = 25.0;
  double Setpoint = 40.0;
  double ThermalTau = 60.0;
  double SystemTemperature = 35.0;
  // Settings at switch-on.
  int32_t Gain = 2048;
  int32_t BiasRoughly = 2048;
  int32_t BiasPrecise = 2048;
  int32_t Nitrogen = 0;
  int32_t AuxWord = 0;
  // Identification items, joined by '/'.
  std::string MasterID = "Quellar virtual analyzer/master/1.0";
  std::string MagneticID = "Quellar virtual analyzer/magnetic/1.0";
};

// Applies "key=value,key=value" to sample. On any bad key or value it returns false, leaves
// sample unchanged and says why in error. Keys are those of SimSampleHelp().
bool ParseSimSample(const std::string& text, TSimSample& sample, std::string& error);
// One line per key: name, unit and default.
std::string SimSampleHelp();

}  // namespace quellar::sim
