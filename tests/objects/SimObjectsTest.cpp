// The objects' own interfaces on the virtual analyzer in-process, on a virtual clock: the
// reliability matrix (a client's session with one fault on one answer, a hang-up or a mute
// analyzer; each operation true with the right data or false within its bound), and the
// tuning's searches against the known truth of the sample.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "automation/Bstr.h"
#include "automation/Quellar.h"
#include "automation/objects/PrtController.h"
#include "device/DrvResponse.h"
#include "platform/Clock.h"
#include "sim/SimTestUtil.h"
#include "sim/SimTransport.h"
#include "support/TestSupport.h"

namespace quellar::test {
namespace {

using automation::TOwnedRef;

inline sim::TSimFaults SimFault(const std::string& text) {
  sim::TSimFaults f;
  std::string error;
  EXPECT_TRUE(sim::ParseSimFault(text, f, error)) << error;
  return f;
}

// A controller on the virtual analyzer.
struct SimController {
  explicit SimController(const sim::TSimSample& sample = {}, const sim::TSimFaults& faults = {}) {
    auto owned = std::make_unique<sim::TSimTransport>(sample, sim::TSimLine{}, faults);
    transport = owned.get();
    controller.Adopt(new automation::TQuellarController(std::move(owned)));
  }
  bool Open() {
    VARIANT_BOOL ok = VARIANT_FALSE;
    return controller->Open(1, &ok) == S_OK && ok == VARIANT_TRUE;
  }
  template <class I>
  void Child(HRESULT (IController::*get)(I**), TOwnedRef<I>& out) {
    ASSERT_EQ((controller.get()->*get)(out.Out()), S_OK);
  }
  uint32_t Ms() { return clock.Ticks(); }
  sim::TSimAnalyzer& Analyzer() { return transport->Analyzer(); }

  ReportCapture reports;
  platform::VirtualClock clock{0};
  platform::ScopedClock scoped{clock};  // before the transport, which reads the clock
  sim::TSimTransport* transport = nullptr;
  TOwnedRef<IController> controller;
};

// Worst cases: three attempts of 2 s per transaction; Execute's three starts of a 5 s run and
// three fetches.
constexpr uint32_t kOpenMs = 7 * 6000 + 10, kSetMs = 6000 + 10, kSendMs = 3 * 6000 + 10;
constexpr uint32_t kExecuteMs = 3 * (6000 + 5000) + 3 * 2000 + 50;

// One session; true when every operation succeeded. Checks the data of every success.
bool Session(SimController& b, LONG gain) {
  uint32_t t = b.Ms();
  const bool open = b.Open();
  EXPECT_LE(b.Ms() - t, kOpenMs);
  if (!open) return false;
  TOwnedRef<IState> state;
  TOwnedRef<IManager> manager;
  TOwnedRef<ICompiler> compiler;
  TOwnedRef<IAnalysis> analysis;
  b.Child(&IController::get_State, state);
  b.Child(&IController::get_Manager, manager);
  b.Child(&IController::get_Compiler, compiler);
  b.Child(&IController::get_Analysis, analysis);
  automation::TBstr id;
  state->get_MasterID(id.out());
  EXPECT_EQ(automation::FromBstr(id.get()), b.Analyzer().Sample().MasterID);

  VARIANT_BOOL set = VARIANT_FALSE, sent = VARIANT_FALSE, run = VARIANT_FALSE;
  t = b.Ms();
  EXPECT_EQ(manager->SetGain(gain, &set), S_OK);
  EXPECT_LE(b.Ms() - t, kSetMs);
  EXPECT_TRUE(!set || b.Analyzer().Settings().Gain == gain);

  compiler->Clear();
  compiler->AddReading(100000, 1000);
  compiler->AddImpulse(3300, 0, 8000);
  compiler->AddSilence(10000);
  compiler->AddReading(5000000, 1000);
  t = b.Ms();
  EXPECT_EQ(compiler->Send(&sent), S_OK);
  EXPECT_LE(b.Ms() - t, kSendMs);
  EXPECT_TRUE(!sent || b.Analyzer().Code() == ProbeCode(3300));

  t = b.Ms();
  EXPECT_EQ(analysis->Execute(5000, 0, 1, 0.0, &run), S_OK);
  EXPECT_LE(b.Ms() - t, kExecuteMs);
  if (run) {
    // The samples of the run that finished last, not of an earlier one.
    const std::vector<uint8_t>& block = b.Analyzer().Block(b.transport->Now());
    device::TDriverResponse truth;
    truth.DecodeQuadrature(block.data(), block.size());
    LONG count = 0, differ = 0;
    analysis->get_Count(&count);
    EXPECT_EQ(count, truth.Count());
    for (LONG i = 0; i < count && i < truth.Count(); ++i) {
      double re = 0;
      analysis->get_SampleRE(i, &re);
      differ += re != truth.Real.GetValue(i);
    }
    EXPECT_EQ(differ, 0);
  }
  return set && sent && run;
}

TEST(TQuellarController, SessionsSurviveEveryFaultClass) {
  // Where in a session each answer comes: the handshake's status, identifications, state
  // readings, the gain's acknowledgement, the first and last of the probe's ten upload
  // acknowledgements, the run's "started" and "finished", a sample piece and the block's total.
  std::vector<std::pair<std::string, bool>> cases = {
      {"hangup-in=1500", false}, {"hangup=5000", false}, {"mute", false}};
  for (const std::string point :
       {"0x02#1", "0x04#1", "0x80#1", "0x81#1", "0x82#1", "0x83#1", "0x84#1", "0x90#1", "0x00#1",
        "0x00#10", "0x02#2", "0x02#3", "0x03#2", "0x00#11"}) {
    for (const char* kind : {"drop:", "corrupt:", "duplicate:"})
      cases.push_back({kind + point, true});
    // Past the 2 s answer window, and past the run's 5 s time-out for "finished".
    cases.push_back({"delay:" + point + (point == "0x02#3" ? "=6000" : "=2500"), true});
    // A stray status just before "started" is taken for the answer, and a stray [00 00 00]
    // for the acknowledgement of a chunk past the first, whose offset it then fails.
    cases.push_back(
        {"stray:" + point + "=" + point.substr(0, 4), point != "0x02#2" && point != "0x00#10"});
  }
  for (const auto& [fault, recovers] : cases) {
    SCOPED_TRACE(fault);
    SimController b({}, SimFault(fault));
    EXPECT_EQ(Session(b, 1234), recovers);
    // The fault clears and whatever it delayed has landed; the same controller works again.
    b.transport->Peer().Faults() = {};
    b.clock.Advance(10000);
    b.controller->Close();
    EXPECT_TRUE(Session(b, 2345));
    EXPECT_EQ(b.reports.Count(), 0u);
  }
}

// The mean distance from the baseline (samples 0..99) of the first ten signal samples.
double FirstTen(IAnalysis* analysis) {
  double re[110], im[110], mre = 0, mim = 0, sum = 0;
  for (LONG i = 0; i < 110; ++i) {
    analysis->get_SampleRE(i, &re[i]);
    analysis->get_SampleIM(i, &im[i]);
    if (i < 100) mre += re[i] / 100, mim += im[i] / 100;
  }
  for (LONG i = 100; i < 110; ++i) sum += std::hypot(re[i] - mre, im[i] - mim);
  return sum / 10;
}

TEST(TQuellarTuning, FindsTheTruthOfKnownSamples) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN(), kInf = INFINITY;
  for (const char* text : {"", "d90=2500,resonance=612.4,t1=2e7,amplitude=120,seed=7",
                           "d90=4700,resonance=3333,t1=8e7,t2star=5e5,amplitude=400,noise=3"}) {
    SCOPED_TRACE(text);
    SimController b(Sample(text));
    const sim::TSimSample& truth = b.Analyzer().Sample();
    ASSERT_TRUE(b.Open());
    TOwnedRef<ITuning> tuning;
    TOwnedRef<IAnalysis> analysis;
    b.Child(&IController::get_Tuning, tuning);
    b.Child(&IController::get_Analysis, analysis);
    VARIANT_BOOL ok = VARIANT_FALSE;
    LONG gain = 0, coarse = 0, precise = 0;
    double d90 = 0, d180 = 0, period = 0;
    const auto done = [&](HRESULT hr) { return hr == S_OK && ok == VARIANT_TRUE; };
    ASSERT_TRUE(done(tuning->Durations(&d90, &d180, &ok)));
    EXPECT_NEAR(d90, truth.D90, 100);
    EXPECT_NEAR(d180, 2 * truth.D90, 100);
    ASSERT_TRUE(done(tuning->Gain(d90, &gain, &ok)));
    EXPECT_EQ(b.Analyzer().Settings().Gain, gain);
    EXPECT_NEAR(FirstTen(analysis.get()), 358.4, 0.05 * 358.4);
    ASSERT_TRUE(done(tuning->Resonance(d90, &coarse, &precise, &ok)));
    EXPECT_NEAR(coarse, truth.Resonance, 2);
    EXPECT_EQ(precise, 2047);
    EXPECT_EQ(b.Analyzer().Settings().BiasRoughly, coarse);
    EXPECT_EQ(b.Analyzer().Settings().BiasPrecise, 2048);

    // Every step starts relaxed (500 ms is over six T1 here), so the second impulse sees 90 %
    // of the first signal at T1 ln 10 after the first; the impulses are P + d90 + 8000 apart.
    ASSERT_TRUE(done(tuning->Period(d90, 110000, 1e9, &period, &ok)));
    const double p = truth.T1 * std::log(10.0) - d90 - 8000;
    EXPECT_NEAR(period / 6, p, 0.03 * p);
    // Ranges the recovery program cannot express are refused before anything reaches the line.
    const uint32_t uploads = b.transport->Peer().Received(0x01), start = b.Ms();
    for (const auto& [d, from, to] : {std::array{3300.0, 109999.0, 2e5},
                                      {3300, 3e5, 2e5},
                                      {3300, kNaN, 2e5},
                                      {3300, 2e5, kInf},
                                      {kNaN, 2e5, 3e5}}) {
      period = -1;
      EXPECT_EQ(tuning->Period(d, from, to, &period, &ok), S_OK);
      EXPECT_EQ(ok, VARIANT_FALSE) << from << " " << to;
      EXPECT_EQ(period, -1);
    }
    EXPECT_EQ(b.transport->Peer().Received(0x01), uploads);
    EXPECT_EQ(b.Ms(), start);  // not even a settling pause
  }
}

}  // namespace
}  // namespace quellar::test
