#pragma once
// TQuellarTuning, the Tuning class: four searches that adjust the analyzer before a
// measurement (90/180 degree durations, receiver gain, resonance bias, repetition period).
// It is a client of the controller's other children: every step composes a probe program,
// sends it, runs it once and judges the samples.
#include "automation/objects/ChildObject.h"

namespace quellar::automation {

class TQuellarTuning final : public TChildObject<ITuning> {
 public:
  explicit TQuellarTuning(DeviceLinkPtr link);

  HRESULT STDMETHODCALLTYPE Durations(DOUBLE* Duration90, DOUBLE* Duration180,
                                      VARIANT_BOOL* Success) override;
  HRESULT STDMETHODCALLTYPE Resonance(DOUBLE Duration90, LONG* BiasRoughly, LONG* BiasPricisely,
                                      VARIANT_BOOL* Success) override;
  HRESULT STDMETHODCALLTYPE Gain(DOUBLE Duration90, LONG* Gain, VARIANT_BOOL* Success) override;
  HRESULT STDMETHODCALLTYPE Period(DOUBLE Duration90, DOUBLE FromPeriod, DOUBLE ToPeriod,
                                   DOUBLE* Period, VARIANT_BOOL* Success) override;

  // The settling pause before every step of every search, in milliseconds.
  static constexpr uint32_t kSettleMs = 500;
  // The shortest period the recovery program can express.
  static constexpr double kShortestPeriod = 110000;

 private:
  // A tuning method's body runs with the controller's interface; false ends it.
  template <class Body>
  HRESULT Search(Tag tag, VARIANT_BOOL* success, Body&& body);
};

}  // namespace quellar::automation
