#pragma once
// TQuellarManager, the Manager class: sets the receiver (detector, filter) and the magnetic
// unit (gain, bias currents, nitrogen, sample temperature). Each call stores the wanted value
// in the state record, limited to its range, and sends the command that carries it.
#include "automation/objects/ChildObject.h"
#include "device/DrvFrame.h"

namespace quellar::automation {

class TQuellarManager final : public TChildObject<IManager> {
 public:
  explicit TQuellarManager(DeviceLinkPtr link);

  HRESULT STDMETHODCALLTYPE SetDetector(LONG Detector, VARIANT_BOOL* Success) override;
  HRESULT STDMETHODCALLTYPE SetFilter(LONG Filter, VARIANT_BOOL* Success) override;
  HRESULT STDMETHODCALLTYPE SetGain(LONG Value, VARIANT_BOOL* Success) override;
  HRESULT STDMETHODCALLTYPE SetBias(LONG Roughly, LONG Precise, VARIANT_BOOL* Success) override;
  HRESULT STDMETHODCALLTYPE SetNitrogen(LONG Value, VARIANT_BOOL* Success) override;
  HRESULT STDMETHODCALLTYPE SetSample(LONG Value, VARIANT_BOOL* Success) override;

 private:
  enum class Command { Master, Magnetic, Setpoint };
  // Stores the wanted values with store(state), then sends the command and takes its
  // acknowledgement.
  template <class Store>
  HRESULT Set(Tag tag, Command command, VARIANT_BOOL* success, Store&& store);

  device::TDriverFrame frame_;  // reused by every call
};

}  // namespace quellar::automation
