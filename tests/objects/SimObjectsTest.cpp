// The objects on the virtual analyzer on a virtual clock: sessions with one fault, and tuning.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "automation/Bstr.h"
#include "automation/Quellar.h"
#include "automation/objects/PrtController.h"
#include "device/DrvResponse.h"
#include "platform/Clock.h"
#include "sim/SimTransport.h"
#include "support/TestSupport.h"

namespace quellar::test {
namespace {

using automation::TOwnedRef;

struct SimController {
  explicit SimController(const std::string& text = "", const std::string& fault = "") {
    sim::TSimSample sample;
    sim::TSimFaults faults;
    std::string error;
    EXPECT_TRUE(sim::ParseSimSample(text, sample, error)) << error;
    EXPECT_TRUE(fault.empty() || sim::ParseSimFault(fault, faults, error)) << error;
    auto owned = std::make_unique<sim::TSimTransport>(sample, sim::TSimLine{}, faults);
    transport = owned.get();
    controller.Adopt(new automation::TQuellarController(std::move(owned)));
    controller->get_State(state.Out());
    controller->get_Manager(manager.Out());
    controller->get_Compiler(compiler.Out());
    controller->get_Analysis(analysis.Out());
    controller->get_Tuning(tuning.Out());
  }
  bool Open() {
    VARIANT_BOOL ok = VARIANT_FALSE;
    return controller->Open(1, &ok) == S_OK && ok == VARIANT_TRUE;
  }
  uint32_t Ms() { return clock.Ticks(); }
  sim::TSimAnalyzer& Analyzer() { return transport->Analyzer(); }

  ReportCapture reports;
  platform::VirtualClock clock{0};
  platform::ScopedClock scoped{clock};  // before the transport, which reads the clock
  sim::TSimTransport* transport = nullptr;
  TOwnedRef<IController> controller;
  TOwnedRef<IState> state;
  TOwnedRef<IManager> manager;
  TOwnedRef<ICompiler> compiler;
  TOwnedRef<IAnalysis> analysis;
  TOwnedRef<ITuning> tuning;
};

// Three attempts of 2 s per transaction; Execute's three starts of a 5 s run and three fetches.
constexpr uint32_t kOpenMs = 7 * 6000 + 10, kSetMs = 6000 + 10, kSendMs = 3 * 6000 + 10;
constexpr uint32_t kExecuteMs = 3 * (6000 + 5000) + 3 * 2000 + 50;

// True when every operation succeeded; checks the data of each success (the code against *code).
bool Session(SimController& b, LONG gain, const std::vector<uint8_t>* code = nullptr) {
  uint32_t t = b.Ms();
  const bool open = b.Open();
  EXPECT_LE(b.Ms() - t, kOpenMs);
  if (!open) return false;
  automation::TBstr id;
  b.state->get_MasterID(id.out());
  EXPECT_EQ(automation::FromBstr(id.get()), b.Analyzer().Sample().MasterID);

  VARIANT_BOOL set = VARIANT_FALSE, sent = VARIANT_FALSE, run = VARIANT_FALSE;
  t = b.Ms();
  EXPECT_EQ(b.manager->SetGain(gain, &set), S_OK);
  EXPECT_LE(b.Ms() - t, kSetMs);
  EXPECT_TRUE(!set || b.Analyzer().Settings().Gain == gain);

  b.compiler->Clear();  // a baseline at samples 0..99, the signal from sample 100 on
  b.compiler->AddReading(100000, 1000);
  b.compiler->AddImpulse(3300, 0, 8000);
  b.compiler->AddSilence(10000);
  b.compiler->AddReading(5000000, 1000);
  t = b.Ms();
  EXPECT_EQ(b.compiler->Send(&sent), S_OK);
  EXPECT_LE(b.Ms() - t, kSendMs);
  EXPECT_TRUE(!sent || !code || b.Analyzer().Code() == *code);

  t = b.Ms();
  EXPECT_EQ(b.analysis->Execute(5000, 0, 1, 0.0, &run), S_OK);
  EXPECT_LE(b.Ms() - t, kExecuteMs);
  if (run) {
    // The samples of the run that finished last, not of an earlier one.
    const std::vector<uint8_t>& block = b.Analyzer().Block(b.transport->Now());
    device::TDriverResponse truth;
    truth.DecodeQuadrature(block.data(), block.size());
    LONG count = 0;
    b.analysis->get_Count(&count);
    EXPECT_EQ(count, truth.Count());
    for (LONG i = 0; i < count && i < truth.Count(); ++i) {
      double re = 0;
      b.analysis->get_SampleRE(i, &re);
      EXPECT_EQ(re, truth.Real.GetValue(i)) << i;
    }
  }
  return set && sent && run;
}

TEST(TQuellarController, SessionsSurviveEveryFaultClass) {
  // Answers of a session: handshake, identifications, state, gain, the first and last of ten
  // upload acknowledgements, "started", "finished", a sample piece and the block's total.
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
  SimController clean;
  ASSERT_TRUE(Session(clean, 1234));
  for (const auto& [fault, recovers] : cases) {
    SCOPED_TRACE(fault);
    SimController b("", fault);
    EXPECT_EQ(Session(b, 1234, &clean.Analyzer().Code()), recovers);
    // Once the fault clears and what it delayed has landed, the controller works again.
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
  for (const char* text : {"", "d90=2500,resonance=612.4,t1=2e7,amplitude=120,seed=7",
                           "d90=4700,resonance=3333,t1=8e7,t2star=5e5,amplitude=400,noise=3"}) {
    SCOPED_TRACE(text);
    SimController b(text);
    const sim::TSimSample& truth = b.Analyzer().Sample();
    ASSERT_TRUE(b.Open());
    VARIANT_BOOL ok = VARIANT_FALSE;
    LONG gain = 0, coarse = 0, precise = 0;
    double d90 = 0, d180 = 0, period = 0;
    const auto done = [&](HRESULT hr) { return hr == S_OK && ok == VARIANT_TRUE; };
    ASSERT_TRUE(done(b.tuning->Durations(&d90, &d180, &ok)));
    EXPECT_NEAR(d90, truth.D90, 100);
    EXPECT_NEAR(d180, 2 * truth.D90, 100);
    ASSERT_TRUE(done(b.tuning->Gain(d90, &gain, &ok)));
    EXPECT_EQ(b.Analyzer().Settings().Gain, gain);
    EXPECT_NEAR(FirstTen(b.analysis.get()), 358.4, 0.05 * 358.4);
    ASSERT_TRUE(done(b.tuning->Resonance(d90, &coarse, &precise, &ok)));
    EXPECT_NEAR(coarse, truth.Resonance, 2);
    EXPECT_EQ(precise, 2047);
    EXPECT_EQ(b.Analyzer().Settings().BiasRoughly, coarse);
    EXPECT_EQ(b.Analyzer().Settings().BiasPrecise, 2048);

    // Every step starts relaxed (500 ms is over six T1 here), so the second impulse sees 90 %
    // of the first signal at T1 ln 10 after the first; the impulses are P + d90 + 8000 apart.
    ASSERT_TRUE(done(b.tuning->Period(d90, 110000, 1e9, &period, &ok)));
    const double p = truth.T1 * std::log(10.0) - d90 - 8000;
    EXPECT_NEAR(period / 6, p, 0.03 * p);
    // Ranges the recovery program cannot express are refused before anything reaches the line.
    const uint32_t uploads = b.transport->Peer().Received(0x01), start = b.Ms();
    for (const auto& [d, from, to] : {std::array{3300.0, 109999.0, 2e5},
                                      {3300, 3e5, 2e5},
                                      {3300, NAN, 2e5},
                                      {3300, 2e5, INFINITY},
                                      {NAN, 2e5, 3e5}}) {
      EXPECT_EQ(b.tuning->Period(d, from, to, &period, &ok), S_OK);
      EXPECT_EQ(ok, VARIANT_FALSE) << from << " " << to;
    }
    EXPECT_EQ(b.transport->Peer().Received(0x01), uploads);
    EXPECT_EQ(b.Ms(), start);                  // not even a settling pause
    b.transport->Peer().Faults().Mute = true;  // a search whose measurement fails fails
    EXPECT_FALSE(done(b.tuning->Resonance(d90, &coarse, &precise, &ok)));
  }
}

}  // namespace
}  // namespace quellar::test
