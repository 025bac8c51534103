#include "automation/objects/PrtManager.h"

#include <algorithm>

namespace quellar::automation {

namespace {
constexpr Tag kTagSetDetector = "{CC31FDDD-9FF5-4D0A-B753-BE6E3F9BC83C}";
constexpr Tag kTagSetFilter = "{ED5DB26B-087C-4F41-B4B2-56720B752C63}";
constexpr Tag kTagSetGain = "{4A582CFA-7D1E-48E6-955D-59B3F47CFB96}";
constexpr Tag kTagSetBias = "{773005DC-E03B-4A28-967B-2CCCE27A5E06}";
constexpr Tag kTagSetNitrogen = "{FF8F11AB-3536-478D-AEAD-759794FB8E32}";
constexpr Tag kTagSetSample = "{05EBEF8C-3699-489A-8C0B-27B64E22604C}";

constexpr uint8_t kAnswerMaster = 0x02;
constexpr uint8_t kAnswerMagnetic = 0x90;

int32_t Limit(LONG value, int32_t low, int32_t high) {
  return std::clamp<int32_t>(value, low, high);
}
}  // namespace

TQuellarManager::TQuellarManager(DeviceLinkPtr link)
    : TChildObject("Quellar.Manager", std::move(link)) {}

template <class Store>
HRESULT TQuellarManager::Set(Tag tag, Command command, VARIANT_BOOL* success, Store&& store) {
  if (!success) return E_POINTER;
  *success = VARIANT_FALSE;
  return DeviceCall(tag, [&](device::TDriverController& driver) {
    device::TDriverState& state = driver.State();
    // The wanted value is kept even when the analyzer does not take it: the next successful
    // command of the same kind carries it.
    store(state);
    uint8_t answer = kAnswerMagnetic;
    switch (command) {
      case Command::Master:
        state.EncodeMasterSettings(frame_);
        answer = kAnswerMaster;
        break;
      case Command::Magnetic:
        state.EncodeMagneticSettings(frame_);
        break;
      case Command::Setpoint:
        state.EncodeSampleSetpoint(frame_);
        break;
    }
    const bool acknowledged = driver.Transact(frame_, answer);
    driver.ReleaseAnswer();
    if (acknowledged) *success = VARIANT_TRUE;
  });
}

HRESULT TQuellarManager::SetDetector(LONG Detector, VARIANT_BOOL* Success) {
  return Set(kTagSetDetector, Command::Master, Success,
             [&](device::TDriverState& s) { s.Master.Detector = Detector; });
}

HRESULT TQuellarManager::SetFilter(LONG Filter, VARIANT_BOOL* Success) {
  return Set(kTagSetFilter, Command::Master, Success,
             [&](device::TDriverState& s) { s.Master.Filter = Filter; });
}

HRESULT TQuellarManager::SetGain(LONG Value, VARIANT_BOOL* Success) {
  return Set(kTagSetGain, Command::Magnetic, Success,
             [&](device::TDriverState& s) { s.Magnetic.Gain = Limit(Value, 0, 4095); });
}

HRESULT TQuellarManager::SetBias(LONG Roughly, LONG Precise, VARIANT_BOOL* Success) {
  return Set(kTagSetBias, Command::Magnetic, Success, [&](device::TDriverState& s) {
    s.Magnetic.BiasRoughly = Limit(Roughly, 0, 4095);
    s.Magnetic.BiasPrecise = Limit(Precise, 0, 4095);
  });
}

HRESULT TQuellarManager::SetNitrogen(LONG Value, VARIANT_BOOL* Success) {
  return Set(kTagSetNitrogen, Command::Magnetic, Success,
             [&](device::TDriverState& s) { s.Magnetic.Nitrogen = Limit(Value, 0, 255); });
}

HRESULT TQuellarManager::SetSample(LONG Value, VARIANT_BOOL* Success) {
  return Set(kTagSetSample, Command::Setpoint, Success, [&](device::TDriverState& s) {
    s.Magnetic.SampleSetpoint = static_cast<double>(Limit(Value, 0, 100));
  });
}

}  // namespace quellar::automation
