#include "automation/objects/PrtState.h"

#include "automation/Bstr.h"
#include "platform/Platform.h"

namespace quellar::automation {

namespace {
constexpr Tag kTagSampleTemperature = "{0F220CEE-714F-4BC1-A2E5-941776A52328}";
constexpr Tag kTagSystemTemperature = "{9A329450-42F2-40B5-BD15-01AEE22CE2A9}";
constexpr Tag kTagMasterID = "{966D54AF-6200-42FD-AE9D-13DE8DDD2139}";
constexpr Tag kTagMagneticID = "{5C95B6F8-A093-485B-9C3B-1B35955A36E5}";
constexpr Tag kTagUpdate = "{E029F429-8D0C-4A7F-AE85-90239F104A6B}";
}  // namespace

TQuellarState::TQuellarState(DeviceLinkPtr link) : TChildObject("Quellar.State", std::move(link)) {}

HRESULT TQuellarState::get_SampleTemperature(DOUBLE* Value) {
  if (!Value) return E_POINTER;
  *Value = 0;
  return DeviceCall(kTagSampleTemperature, [&](device::TDriverController& driver) {
    *Value = driver.State().Magnetic.SampleTemperature;
  });
}

HRESULT TQuellarState::get_SystemTemperature(DOUBLE* Value) {
  if (!Value) return E_POINTER;
  *Value = 0;
  return DeviceCall(kTagSystemTemperature, [&](device::TDriverController& driver) {
    *Value = driver.State().Magnetic.SystemTemperature;
  });
}

HRESULT TQuellarState::get_MasterID(BSTR* Value) {
  if (!Value) return E_POINTER;
  *Value = nullptr;
  return DeviceCall(kTagMasterID, [&](device::TDriverController& driver) {
    *Value = NewBstr(platform::From8Bit(driver.State().Master.ID));
  });
}

HRESULT TQuellarState::get_MagneticID(BSTR* Value) {
  if (!Value) return E_POINTER;
  *Value = nullptr;
  return DeviceCall(kTagMagneticID, [&](device::TDriverController& driver) {
    *Value = NewBstr(platform::From8Bit(driver.State().Magnetic.ID));
  });
}

HRESULT TQuellarState::Update() {
  // A failed update keeps the old values; the client is told nothing.
  return DeviceCall(kTagUpdate, [&](device::TDriverController& driver) { driver.UpdateState(); });
}

}  // namespace quellar::automation
