#pragma once
// TQuellarState, the State class: read access to the device state record (temperatures and
// identification texts) and a refresh of it from the analyzer.
#include "automation/objects/ChildObject.h"

namespace quellar::automation {

class TQuellarState final : public TChildObject<IState> {
 public:
  explicit TQuellarState(DeviceLinkPtr link);

  HRESULT STDMETHODCALLTYPE get_SampleTemperature(DOUBLE* Value) override;
  HRESULT STDMETHODCALLTYPE get_SystemTemperature(DOUBLE* Value) override;
  HRESULT STDMETHODCALLTYPE get_MasterID(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE get_MagneticID(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE Update() override;
};

}  // namespace quellar::automation
