#include "automation/objects/PrtTuning.h"

#include <cmath>
#include <vector>

#include "arrays/PrtArray.h"
#include "automation/objects/PrtController.h"
#include "numerics/fourier_arrays.h"
#include "platform/Clock.h"

namespace quellar::automation {

namespace {
constexpr Tag kTagDurations = "{6B9DFEE2-AE80-497A-92C3-D1CB4254FFDD}";
constexpr Tag kTagResonance = "{E5D0DA47-E23D-4C9E-8850-243AACFA8170}";
constexpr Tag kTagGain = "{372FC390-35EF-40B9-824F-D626F852261B}";
constexpr Tag kTagPeriod = "{8CF27C75-280A-4C01-9D48-4F5CABABD558}";

// Where the probe programs put their samples.
constexpr LONG kBaselineSamples = 100;
constexpr LONG kSignalStart = 100;
constexpr double kGainTarget = 358.4;  // 0.35 of the 1024-step raw scale
constexpr int kMidCode = 2048;

// The steps every search is made of, each through the controller's children as a client
// would take them: fetched afresh for every operation.
class TProbe {
 public:
  explicit TProbe(IController* controller) : controller_(controller) {}

  static void Settle() { platform::GetClock().Sleep(TQuellarTuning::kSettleMs); }

  // One impulse of duration d between a baseline reading (samples 0..99) and a signal
  // reading (from sample 100 on).
  void SendProbeProgram(double d) {
    TOwnedRef<ICompiler> c = Compiler();
    CheckCall(c->Clear(), "Clear");
    CheckCall(c->AddReading(100000, 1000), "AddReading");
    CheckCall(c->AddImpulse(d, 0, 8000), "AddImpulse");
    CheckCall(c->AddSilence(10000), "AddSilence");
    CheckCall(c->AddReading(5000000, 1000), "AddReading");
    Send(*c.get());
  }
  // Two equal impulses a period p apart, each followed by a reading of 100 samples.
  void SendRecoveryProgram(double d90, double p) {
    TOwnedRef<ICompiler> c = Compiler();
    CheckCall(c->Clear(), "Clear");
    CheckCall(c->AddReading(100000, 1000), "AddReading");
    CheckCall(c->AddImpulse(d90, 0, 8000), "AddImpulse");
    CheckCall(c->AddSilence(10000), "AddSilence");
    CheckCall(c->AddReading(100000, 1000), "AddReading");
    CheckCall(c->AddSilence(p - 110000), "AddSilence");
    CheckCall(c->AddImpulse(d90, 0, 8000), "AddImpulse");
    CheckCall(c->AddSilence(10000), "AddSilence");
    CheckCall(c->AddReading(100000, 1000), "AddReading");
    Send(*c.get());
  }

  // One run without pause or correction; the samples are read back and measured against the
  // mean of the baseline. False when the run fails or yields fewer samples than needed (the
  // searches would read beyond them).
  bool Measure(LONG timeOut, LONG needed) {
    TOwnedRef<IAnalysis> a;
    CheckCall(controller_->get_Analysis(a.Out()), "Analysis");
    VARIANT_BOOL ok = VARIANT_FALSE;
    CheckCall(a->Execute(timeOut, 0, 1, 0.0, &ok), "Execute");
    if (ok != VARIANT_TRUE) return false;
    LONG count = 0;
    CheckCall(a->get_Count(&count), "Count");
    if (count < needed) return false;
    re_.resize(static_cast<size_t>(count));
    im_.resize(static_cast<size_t>(count));
    double sumRe = 0, sumIm = 0;
    for (LONG i = 0; i < count; ++i) {
      CheckCall(a->get_SampleRE(i, &re_[static_cast<size_t>(i)]), "SampleRE");
      CheckCall(a->get_SampleIM(i, &im_[static_cast<size_t>(i)]), "SampleIM");
      if (i < kBaselineSamples) {
        sumRe += re_[static_cast<size_t>(i)];
        sumIm += im_[static_cast<size_t>(i)];
      }
    }
    meanRe_ = sumRe / kBaselineSamples;
    meanIm_ = sumIm / kBaselineSamples;
    return true;
  }

  LONG Count() const { return static_cast<LONG>(re_.size()); }
  double Re(LONG i) const { return re_[static_cast<size_t>(i)] - meanRe_; }
  double Im(LONG i) const { return im_[static_cast<size_t>(i)] - meanIm_; }
  // Distance of sample i from the baseline in the complex plane.
  double Deviation(LONG i) const { return std::hypot(Re(i), Im(i)); }
  double SumDeviation(LONG from, LONG to) const {
    double sum = 0;
    for (LONG i = from; i <= to; ++i) sum += Deviation(i);
    return sum;
  }

  // Results of the manager are not looked at: a failure shows in the measurement.
  void SetGain(LONG gain) {
    TOwnedRef<IManager> m = Manager();
    VARIANT_BOOL ok = VARIANT_FALSE;
    CheckCall(m->SetGain(gain, &ok), "SetGain");
  }
  void SetBias(LONG roughly, LONG precise) {
    TOwnedRef<IManager> m = Manager();
    VARIANT_BOOL ok = VARIANT_FALSE;
    CheckCall(m->SetBias(roughly, precise, &ok), "SetBias");
  }

 private:
  TOwnedRef<ICompiler> Compiler() {
    TOwnedRef<ICompiler> c;
    CheckCall(controller_->get_Compiler(c.Out()), "Compiler");
    return c;
  }
  TOwnedRef<IManager> Manager() {
    TOwnedRef<IManager> m;
    CheckCall(controller_->get_Manager(m.Out()), "Manager");
    return m;
  }
  static void Send(ICompiler& c) {
    VARIANT_BOOL sent = VARIANT_FALSE;
    // Not looked at either: a program that did not arrive fails the run or measures poorly.
    CheckCall(c.Send(&sent), "Send");
  }

  IController* controller_;
  std::vector<double> re_, im_;
  double meanRe_ = 0, meanIm_ = 0;
};

TOwnedRef<IDoubleArray> NewDoubleArray() {
  TOwnedRef<IDoubleArray> array;
  CheckCall(arrays::CreateDoubleArray(IID_IDoubleArray, reinterpret_cast<void**>(array.Out())),
            "DoubleArray");
  return array;
}
}  // namespace

TQuellarTuning::TQuellarTuning(DeviceLinkPtr link)
    : TChildObject("Quellar.Tuning", std::move(link)) {}

template <class Body>
HRESULT TQuellarTuning::Search(Tag tag, VARIANT_BOOL* success, Body&& body) {
  if (!success) return E_POINTER;
  *success = VARIANT_FALSE;
  return DeviceCall(tag, [&](device::TDriverController&) {
    TProbe probe(RequireLink().Controller);
    if (body(probe)) *success = VARIANT_TRUE;
  });
}

HRESULT TQuellarTuning::Durations(DOUBLE* Duration90, DOUBLE* Duration180, VARIANT_BOOL* Success) {
  if (!Duration90 || !Duration180) return E_POINTER;
  return Search(kTagDurations, Success, [&](TProbe& probe) {
    double smallest = 1.7e308, largest = 0;
    for (int k = 15; k <= 100; ++k) {
      const double d = 100.0 * k;
      TProbe::Settle();
      probe.SendProbeProgram(d);
      if (!probe.Measure(50000, kSignalStart)) return false;
      const double sum = probe.SumDeviation(kSignalStart, probe.Count() - 1);
      // Found extremes are written at once: a scan that fails later keeps the best so far.
      if (sum < smallest) {
        smallest = sum;
        *Duration180 = d;
      }
      if (sum > largest) {
        largest = sum;
        *Duration90 = d;
      }
    }
    return true;
  });
}

HRESULT TQuellarTuning::Gain(DOUBLE Duration90, LONG* Gain, VARIANT_BOOL* Success) {
  if (!Gain) return E_POINTER;
  return Search(kTagGain, Success, [&](TProbe& probe) {
    int gain = kMidCode, step = kMidCode;
    while (step > 0) {
      TProbe::Settle();
      probe.SetGain(gain);
      probe.SendProbeProgram(Duration90);
      if (!probe.Measure(5000, kSignalStart + 10)) return false;
      const double size = probe.SumDeviation(kSignalStart, kSignalStart + 9) / 10;
      step /= 2;
      gain += kGainTarget > size ? step : -step;
    }
    *Gain = gain;
    return true;
  });
}

HRESULT TQuellarTuning::Resonance(DOUBLE Duration90, LONG* BiasRoughly, LONG* BiasPricisely,
                                  VARIANT_BOOL* Success) {
  if (!BiasRoughly || !BiasPricisely) return E_POINTER;
  return Search(kTagResonance, Success, [&](TProbe& probe) {
    TOwnedRef<IDoubleArray> re = NewDoubleArray(), im = NewDoubleArray(),
                            spectrum = NewDoubleArray();
    int bias = kMidCode, step = kMidCode;
    while (step > 0) {
      TProbe::Settle();
      probe.SetBias(bias, kMidCode);
      probe.SendProbeProgram(Duration90);
      if (!probe.Measure(5000, kSignalStart + 1)) return false;
      const LONG n = probe.Count() - kSignalStart;
      for (IDoubleArray* a : {re.get(), im.get(), spectrum.get()})
        CheckCall(a->put_Count(n), "the scratch array's Count");
      for (LONG i = 0; i < n; ++i) {
        CheckCall(re->put_Item(i, probe.Re(kSignalStart + i)), "the scratch array's Item");
        CheckCall(im->put_Item(i, probe.Im(kSignalStart + i)), "the scratch array's Item");
      }
      fourier::PowerSpectrum(re.get(), im.get(), spectrum.get());
      step /= 2;
      // A peak below the middle of the centred spectrum asks for more bias.
      const int peak = fourier::PeakIndex(spectrum.get(), n);
      bias += peak < n / 2 ? step : -step;
    }
    *BiasRoughly = bias;
    *BiasPricisely = kMidCode - 1;
    return true;
  });
}

HRESULT TQuellarTuning::Period(DOUBLE Duration90, DOUBLE FromPeriod, DOUBLE ToPeriod,
                               DOUBLE* Period, VARIANT_BOOL* Success) {
  if (!Period) return E_POINTER;
  return Search(kTagPeriod, Success, [&](TProbe& probe) {
    // A range the recovery program cannot express is refused before any traffic.
    if (!std::isfinite(FromPeriod) || !std::isfinite(ToPeriod) || !std::isfinite(Duration90) ||
        FromPeriod < kShortestPeriod || ToPeriod < FromPeriod)
      return false;
    double step = (ToPeriod - FromPeriod) / 2;
    double p = (FromPeriod + ToPeriod) / 2;
    while (step > 1.0) {
      TProbe::Settle();
      probe.SendRecoveryProgram(Duration90, p);
      if (!probe.Measure(5000, 300)) return false;
      const double first = probe.SumDeviation(100, 199);
      const double second = probe.SumDeviation(200, 299);
      step /= 2;
      p += 0.9 * first > second ? step : -step;
    }
    *Period = 6.0 * p;
    return true;
  });
}

}  // namespace quellar::automation
