#include "sim/SimAnalyzer.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace quellar::sim {

TSimAnalyzer::TSimAnalyzer(const TSimSample& sample, int64_t now)
    : sample_(sample),
      random_(sample.Seed),
      temperatureFrom_(sample.SampleTemperature),
      temperatureSince_(now),
      setpoint_(sample.Setpoint) {
  settings_.Gain = sample.Gain;
  settings_.BiasRoughly = sample.BiasRoughly;
  settings_.BiasPrecise = sample.BiasPrecise;
  settings_.Nitrogen = sample.Nitrogen;
  settings_.AuxWord = sample.AuxWord;
  spins_.Configure(sample.T1, sample.T2, sample.T2Star, sample.FlipSpread);
  spins_.Reset(now);
}

double TSimAnalyzer::SampleTemperature(int64_t now) const {
  if (!settings_.SampleReading) return std::numeric_limits<double>::quiet_NaN();
  const double seconds = static_cast<double>(now - temperatureSince_) * 1e-9;
  return setpoint_ + (temperatureFrom_ - setpoint_) * std::exp(-seconds / sample_.ThermalTau);
}

double TSimAnalyzer::SystemTemperature() const {
  return settings_.SystemReading ? sample_.SystemTemperature
                                 : std::numeric_limits<double>::quiet_NaN();
}

void TSimAnalyzer::SetSetpoint(double degrees, int64_t now) {
  const double t = SampleTemperature(now);
  // An absent reading keeps its starting point so it resumes where it would have been.
  if (!std::isnan(t)) temperatureFrom_ = t;
  temperatureSince_ = now;
  setpoint_ = degrees;
}

bool TSimAnalyzer::Load(const uint8_t* code, size_t size) {
  const bool valid = program_.Decode(code, size);
  code_.assign(code, valid ? code + size : code);
  return valid;
}

void TSimAnalyzer::Unload() {
  program_.Decode(nullptr, 0);
  code_.clear();
}

double TSimAnalyzer::OffsetHz() const {
  const double codes = settings_.BiasRoughly - sample_.Resonance +
                       sample_.FineShare * (settings_.BiasPrecise - 2048);
  return codes * sample_.HzPerCode;
}

bool TSimAnalyzer::Running(int64_t now) {
  if (running_ && now >= finish_) {
    running_ = false;
    block_.swap(nextBlock_);
  }
  return running_;
}

const std::vector<uint8_t>& TSimAnalyzer::Block(int64_t now) {
  Running(now);
  return block_;
}

uint8_t TSimAnalyzer::Start(int64_t now) {
  if (Running(now)) return kSimStatusBusy;
  if (!program_.Valid()) return kSimStatusNoProgram;
  Play(now);
  running_ = true;
  finish_ = now + program_.Duration();
  return kSimStatusStarted;
}

// Rotations act at each impulse's centre; samples between impulses are read in one batch.
void TSimAnalyzer::Play(int64_t start) {
  spins_.EvolveTo(start);
  spins_.SetOffset(2 * std::numbers::pi * OffsetHz() * 1e-9);
  const std::vector<int64_t>& strobes = program_.Strobes();
  const size_t count = std::min(strobes.size(), SimBlockCapacity(settings_.Detector));
  times_.resize(count);
  for (size_t i = 0; i < count; ++i) times_[i] = start + strobes[i];
  signal_.resize(count);
  size_t done = 0;
  for (const TSimImpulse& impulse : program_.Impulses()) {
    const int64_t centre = start + impulse.Start + impulse.Duration / 2;
    const size_t upTo = static_cast<size_t>(
        std::upper_bound(times_.begin() + static_cast<ptrdiff_t>(done), times_.end(), centre) -
        times_.begin());
    spins_.Sample(times_.data() + done, upTo - done, signal_.data() + done);
    done = upTo;
    spins_.EvolveTo(centre);
    spins_.Rotate(std::numbers::pi / 2 * static_cast<double>(impulse.Duration) / sample_.D90,
                  std::numbers::pi / 2 * impulse.Phase);
  }
  spins_.Sample(times_.data() + done, count - done, signal_.data() + done);
  spins_.EvolveTo(start + program_.Duration());
  const TSimReceiverSettings receiver{settings_.Gain, settings_.Detector, settings_.Filter,
                                      OffsetHz()};
  SimDigitize(signal_.data(), count, sample_, receiver, random_, nextBlock_);
}

}  // namespace quellar::sim
