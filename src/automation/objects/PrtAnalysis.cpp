#include "automation/objects/PrtAnalysis.h"

#include <cmath>
#include <string>

#include "automation/objects/ClientArrays.h"
#include "platform/Clock.h"

namespace quellar::automation {

namespace {
constexpr Tag kTagExecute = "{C8677BB7-52A3-41CD-A458-61EC7ED5D95E}";
constexpr Tag kTagCount = "{4669191D-41BD-42DD-9879-55476272A380}";
constexpr Tag kTagSampleRE = "{1BBA9C2E-D87B-4D46-9D91-3B79340E201E}";
constexpr Tag kTagSampleIM = "{D3D34BC9-B775-42C9-B559-DE9E6C027A2D}";
constexpr Tag kTagSample = "{BEBC2CAE-DC7E-4628-890F-91DFD941666A}";
constexpr Tag kCheckIndexRE = "{6547163A-3B0C-45D6-B884-4D4E73997ABD}";
constexpr Tag kCheckIndexIM = "{B400084C-2A9E-4ACC-8784-51A59C37D2D6}";
constexpr Tag kCheckIndex = "{0DC474DB-D71A-4ACB-B36F-B376A31F98CC}";
constexpr Tag kTagGetAllRE = "{B5583EB7-C222-4F27-A14C-6152ACB6ECAC}";
constexpr Tag kTagGetAllIM = "{BABA056B-F83F-4556-8063-E555284408C2}";
constexpr Tag kTagGetAll = "{040F1582-645B-4BD7-8AD0-A5074ABF04E1}";

constexpr double kHalfPi = 1.5707963267948966;

// Turns re + j·im by the angle, keeping its magnitude.
void Rotate(double& re, double& im, double angle) {
  const double a = std::sqrt(re * re + im * im);
  double phi = 0;
  if (re != 0)
    phi = std::atan2(im, re);
  else
    phi = im > 0 ? kHalfPi : -kHalfPi;
  phi += angle;
  re = a * std::cos(phi);
  im = a * std::sin(phi);
}
}  // namespace

TQuellarAnalysis::TQuellarAnalysis(DeviceLinkPtr link)
    : TChildObject("Quellar.Analysis", std::move(link)) {}

bool TQuellarAnalysis::Run(device::TDriverController& driver, uint32_t timeOut, uint32_t pause,
                           LONG runs, double phaseCorrection) {
  count_ = 0;
  for (LONG run = 0; run < runs; ++run) {
    bool done = false;
    for (int attempt = 0; attempt < kAttempts && !done; ++attempt)
      done = driver.RunProgram(timeOut);
    if (!done) return false;
    // A failed fetch is fetched again; the program is not run again for it.
    done = false;
    for (int attempt = 0; attempt < kAttempts && !done; ++attempt)
      done = response_.Receive(&driver);
    if (!done) return false;
    // The first run that delivers fixes the count for the whole analysis.
    if (count_ == 0) {
      count_ = response_.Count();
      re_.assign(static_cast<size_t>(count_), 0.0);
      im_.assign(static_cast<size_t>(count_), 0.0);
    }
    const int32_t n = std::min(count_, response_.Count());
    for (int32_t i = 0; i < n; ++i) {
      re_[static_cast<size_t>(i)] += response_.Real.GetValue(i);
      im_[static_cast<size_t>(i)] += response_.Imaginary.GetValue(i);
    }
    platform::GetClock().Sleep(pause);
  }
  if (runs > 1) {
    for (int32_t i = 0; i < count_; ++i) {
      re_[static_cast<size_t>(i)] /= runs;
      im_[static_cast<size_t>(i)] /= runs;
    }
  }
  // A NaN counts as no correction.
  if (phaseCorrection != 0.0 && !std::isnan(phaseCorrection)) {
    for (int32_t i = 0; i < count_; ++i)
      Rotate(re_[static_cast<size_t>(i)], im_[static_cast<size_t>(i)], phaseCorrection);
  }
  return true;
}

HRESULT TQuellarAnalysis::Execute(LONG TimeOut, LONG Pause, LONG Runs, DOUBLE PhaseCorrection,
                                  VARIANT_BOOL* Success) {
  if (!Success) return E_POINTER;
  *Success = VARIANT_FALSE;
  return DeviceCall(kTagExecute, [&](device::TDriverController& driver) {
    // Nothing runs, and the held samples stay, for a count or a time that cannot be.
    if (Runs < 1 || TimeOut < 0 || Pause < 0) return;
    if (Run(driver, static_cast<uint32_t>(TimeOut), static_cast<uint32_t>(Pause), Runs,
            PhaseCorrection))
      *Success = VARIANT_TRUE;
  });
}

HRESULT TQuellarAnalysis::get_Count(LONG* Value) {
  if (!Value) return E_POINTER;
  *Value = 0;
  return OwnCall(kTagCount, [&] { *Value = count_; });
}

template <class Value>
HRESULT TQuellarAnalysis::Single(Tag tag, Tag check, LONG index, DOUBLE* out, Value&& value) {
  if (!out) return E_POINTER;
  *out = 0;
  return OwnCall(tag, [&]() -> HRESULT {
    if (!CheckIntegrity(index >= 0 && index < count_, check)) {
      return Failure(DISP_E_BADINDEX, "Index " + std::to_string(index) + " is outside the " +
                                          std::to_string(count_) + " samples");
    }
    *out = value(static_cast<size_t>(index));
    return S_OK;
  });
}

HRESULT TQuellarAnalysis::get_SampleRE(LONG Ind, DOUBLE* Value) {
  return Single(kTagSampleRE, kCheckIndexRE, Ind, Value, [&](size_t i) { return re_[i]; });
}

HRESULT TQuellarAnalysis::get_SampleIM(LONG Ind, DOUBLE* Value) {
  return Single(kTagSampleIM, kCheckIndexIM, Ind, Value, [&](size_t i) { return im_[i]; });
}

HRESULT TQuellarAnalysis::get_Sample(LONG Ind, DOUBLE* Value) {
  return Single(kTagSample, kCheckIndex, Ind, Value,
                [&](size_t i) { return std::sqrt(re_[i] * re_[i] + im_[i] * im_[i]); });
}

std::vector<double> TQuellarAnalysis::Amplitudes() const {
  std::vector<double> out(static_cast<size_t>(count_));
  for (size_t i = 0; i < out.size(); ++i) out[i] = std::sqrt(re_[i] * re_[i] + im_[i] * im_[i]);
  return out;
}

HRESULT TQuellarAnalysis::GetAllSamplesRE(IDoubleArray* Values) {
  return OwnCall(kTagGetAllRE, [&] {
    if (Values) FillDoubleArray(Values, std::span(re_.data(), static_cast<size_t>(count_)));
  });
}

HRESULT TQuellarAnalysis::GetAllSamplesIM(IDoubleArray* Values) {
  return OwnCall(kTagGetAllIM, [&] {
    if (Values) FillDoubleArray(Values, std::span(im_.data(), static_cast<size_t>(count_)));
  });
}

HRESULT TQuellarAnalysis::GetAllSamples(IDoubleArray* Values) {
  return OwnCall(kTagGetAll, [&] {
    if (Values) FillDoubleArray(Values, Amplitudes());
  });
}

}  // namespace quellar::automation
