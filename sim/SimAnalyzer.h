#pragma once
// The instrument behind the virtual analyzer's protocol: the state of its master and magnetic
// units, the program it holds, and the playing of that program on the sample's spins. Every
// call says what time it is (ns on the analyzer's own time line); nothing here waits.
#include <complex>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/SimProgram.h"
#include "sim/SimRandom.h"
#include "sim/SimReceiver.h"
#include "sim/SimSample.h"
#include "sim/SimSpins.h"

namespace quellar::sim {

// Status byte of answer 0x02.
constexpr uint8_t kSimStatusReady = 0x01;
constexpr uint8_t kSimStatusStarted = 0x02;
constexpr uint8_t kSimStatusBusy = 0x03;
constexpr uint8_t kSimStatusFinished = 0x04;
constexpr uint8_t kSimStatusNoProgram = 0x06;

// What the commands set, and the readings that can be switched off.
struct TSimSettings {
  int32_t Gain = 2048;
  int32_t BiasRoughly = 2048;
  int32_t BiasPrecise = 2048;
  int32_t Nitrogen = 0;
  int32_t Detector = 0;     // 0 or 8
  int32_t Filter = 0;       // 0..3
  uint8_t MasterExtra = 0;  // the byte after detector and filter, kept as sent
  int32_t AuxWord = 0;
  bool SampleReading = true;  // false: answer 0x82 says no reading
  bool SystemReading = true;  // false: answer 0x81 says no reading
};

class TSimAnalyzer {
 public:
  explicit TSimAnalyzer(const TSimSample& sample = {}, int64_t now = 0);

  const TSimSample& Sample() const { return sample_; }
  TSimSettings& Settings() { return settings_; }
  const TSimSettings& Settings() const { return settings_; }

  // Degrees; NaN when there is no reading.
  double SampleTemperature(int64_t now) const;
  double SystemTemperature() const;
  double Setpoint() const { return setpoint_; }
  void SetSetpoint(double degrees, int64_t now);

  // Takes program code; false (holding no program) when it must be refused.
  bool Load(const uint8_t* code, size_t size);
  void Unload();
  const TSimProgram& Program() const { return program_; }
  // The code of the program held, exactly as it was loaded (empty when none is held).
  const std::vector<uint8_t>& Code() const { return code_; }

  // Starts the program held: kSimStatusStarted, or kSimStatusBusy while one runs, or
  // kSimStatusNoProgram. The spins are played at once; the samples become the block when the
  // program's running time has passed.
  uint8_t Start(int64_t now);
  bool Running(int64_t now);
  int64_t FinishTime() const { return finish_; }
  // The block of the last program finished by now (empty before the first).
  const std::vector<uint8_t>& Block(int64_t now);
  // The detected signal of each sample of the last program started (1 = 90 degrees from
  // equilibrium, before the receiver).
  const std::vector<std::complex<double>>& Signal() const { return signal_; }

  // The signal's frequency offset under the present bias settings.
  double OffsetHz() const;
  TSimSpins& Spins() { return spins_; }

 private:
  void Play(int64_t start);

  TSimSample sample_;
  TSimSettings settings_;
  TSimSpins spins_;
  TSimRandom random_;
  TSimProgram program_;
  std::vector<uint8_t> code_;
  double temperatureFrom_;
  int64_t temperatureSince_;
  double setpoint_;
  bool running_ = false;
  int64_t finish_ = 0;
  std::vector<uint8_t> block_, nextBlock_;
  std::vector<int64_t> times_;
  std::vector<std::complex<double>> signal_;
};

}  // namespace quellar::sim
