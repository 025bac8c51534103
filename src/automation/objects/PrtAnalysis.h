#pragma once
// TQuellarAnalysis, the Analysis class: runs the loaded program a number of times, fetches
// the samples after each run, averages them, optionally rotates their phase, and hands the
// held samples out.
#include <vector>

#include "automation/objects/ChildObject.h"
#include "device/DrvResponse.h"

namespace quellar::automation {

class TQuellarAnalysis final : public TChildObject<IAnalysis> {
 public:
  explicit TQuellarAnalysis(DeviceLinkPtr link);

  HRESULT STDMETHODCALLTYPE Execute(LONG TimeOut, LONG Pause, LONG Runs, DOUBLE PhaseCorrection,
                                    VARIANT_BOOL* Success) override;
  HRESULT STDMETHODCALLTYPE get_Count(LONG* Value) override;
  HRESULT STDMETHODCALLTYPE get_SampleRE(LONG Ind, DOUBLE* Value) override;
  HRESULT STDMETHODCALLTYPE get_SampleIM(LONG Ind, DOUBLE* Value) override;
  HRESULT STDMETHODCALLTYPE get_Sample(LONG Ind, DOUBLE* Value) override;
  HRESULT STDMETHODCALLTYPE GetAllSamplesRE(IDoubleArray* Values) override;
  HRESULT STDMETHODCALLTYPE GetAllSamplesIM(IDoubleArray* Values) override;
  HRESULT STDMETHODCALLTYPE GetAllSamples(IDoubleArray* Values) override;

  static constexpr int kAttempts = 3;

 private:
  bool Run(device::TDriverController& driver, uint32_t timeOut, uint32_t pause, LONG runs,
           double phaseCorrection);
  // One held sample by index, after the index check (Tag check) with the getter's own tag.
  template <class Value>
  HRESULT Single(Tag tag, Tag check, LONG index, DOUBLE* out, Value&& value);
  std::vector<double> Amplitudes() const;

  device::TDriverResponse response_;
  int32_t count_ = 0;
  std::vector<double> re_;
  std::vector<double> im_;
};

}  // namespace quellar::automation
