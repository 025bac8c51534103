// The reliability matrix: a client's session (open, set the gain, send a program, execute it)
// on the virtual analyzer with one fault on one answer, or a hang-up, or a mute analyzer. Each
// operation returns true with the right data or false within its bound; an upload reported
// true means the analyzer holds exactly that code; once the fault has cleared, the same
// session on the same controller works.
#include <string>
#include <vector>

#include "SimControllerSupport.h"
#include "automation/Bstr.h"
#include "automation/Quellar.h"
#include "device/DrvResponse.h"
#include "sim/SimTestUtil.h"

namespace quellar::test {
namespace {

// Worst cases: three attempts of 2 s per transaction; Execute's three starts of a 5 s run and
// three fetches.
constexpr uint32_t kOpenMs = 7 * 6000 + 10, kSetMs = 6000 + 10, kSendMs = 3 * 6000 + 10;
constexpr uint32_t kExecuteMs = 3 * (6000 + 5000) + 3 * 2000 + 50;

// One session; true when every operation succeeded. Checks the data of every success.
bool Session(SimController& b, LONG gain) {
  const uint32_t start = b.Ms();
  const bool open = b.Open();
  EXPECT_LE(b.Ms() - start, kOpenMs);
  if (!open) return false;
  TOwnedRef<IState> state;
  b.Child(&IController::get_State, state);
  BSTR id = nullptr;
  state->get_MasterID(&id);
  EXPECT_EQ(automation::FromBstr(id), b.Analyzer().Sample().MasterID);
  SysFreeString(id);

  TOwnedRef<IManager> manager;
  b.Child(&IController::get_Manager, manager);
  VARIANT_BOOL set = VARIANT_FALSE, sent = VARIANT_FALSE, run = VARIANT_FALSE;
  uint32_t t = b.Ms();
  EXPECT_EQ(manager->SetGain(gain, &set), S_OK);
  EXPECT_LE(b.Ms() - t, kSetMs);
  if (set) {
    EXPECT_EQ(b.Analyzer().Settings().Gain, gain);
  }

  TOwnedRef<ICompiler> compiler;
  b.Child(&IController::get_Compiler, compiler);
  compiler->Clear();
  compiler->AddReading(100000, 1000);
  compiler->AddImpulse(3300, 0, 8000);
  compiler->AddSilence(10000);
  compiler->AddReading(5000000, 1000);
  t = b.Ms();
  EXPECT_EQ(compiler->Send(&sent), S_OK);
  EXPECT_LE(b.Ms() - t, kSendMs);
  if (sent) {
    EXPECT_EQ(b.Analyzer().Code(), ProbeCode(3300));
  }

  TOwnedRef<IAnalysis> analysis;
  b.Child(&IController::get_Analysis, analysis);
  t = b.Ms();
  EXPECT_EQ(analysis->Execute(5000, 0, 1, 0.0, &run), S_OK);
  EXPECT_LE(b.Ms() - t, kExecuteMs);
  if (run) {
    // The samples of the run that finished last, not of an earlier one.
    const std::vector<uint8_t>& block = b.Analyzer().Block(b.transport->Now());
    device::TDriverResponse truth;
    truth.DecodeQuadrature(block.data(), block.size());
    LONG count = 0;
    analysis->get_Count(&count);
    EXPECT_EQ(count, truth.Count());
    LONG differ = 0;
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
  const char* const points[] = {"0x02#1", "0x04#1", "0x80#1", "0x81#1", "0x82#1",
                                "0x83#1", "0x84#1", "0x90#1", "0x00#1", "0x00#10",
                                "0x02#2", "0x02#3", "0x03#2", "0x00#11"};
  struct Case {
    std::string fault;
    bool recovers;  // the session itself succeeds
  };
  std::vector<Case> cases;
  for (const std::string point : points) {
    const std::string code = point.substr(0, 4);
    cases.push_back({"drop:" + point, true});
    cases.push_back({"corrupt:" + point, true});
    cases.push_back({"duplicate:" + point, true});
    // Past the 2 s answer window, and past the run's 5 s time-out for "finished".
    cases.push_back({"delay:" + point + (point == "0x02#3" ? "=6000" : "=2500"), true});
    // A stray status just before "started" is taken for the answer, and a stray [00 00 00]
    // for the acknowledgement of a chunk past the first, whose offset it then fails.
    cases.push_back({"stray:" + point + "=" + code, point != "0x02#2" && point != "0x00#10"});
  }
  cases.push_back({"hangup-in=1500", false});  // during the upload
  cases.push_back({"hangup=5000", false});     // during the sample block
  cases.push_back({"mute", false});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    SimController b({}, SimFaults(c.fault));
    EXPECT_EQ(Session(b, 1234), c.recovers);
    // The fault clears and whatever it delayed has landed.
    b.transport->Peer().Faults() = {};
    b.clock.Advance(10000);
    b.controller->Close();
    EXPECT_TRUE(Session(b, 2345));
    EXPECT_EQ(b.reports.Count(), 0u);
  }
}

// The trace a host sets sees every frame, the repetition after a lost answer and the frame
// that failed its check; once switched off it sees nothing.
TEST(QuellarSetTraceHandler, ReportsFramesRetriesTimeOutsAndRejects) {
  struct Seen {
    std::string kinds;
    std::vector<QuellarTraceEvent> events;
  } seen;
  SimController b({}, SimFaults("drop:0x04#1,corrupt:0x80#1"));
  QuellarSetTraceHandler(
      [](const QuellarTraceEvent* e, void* context) {
        auto* s = static_cast<Seen*>(context);
        s->kinds += std::string(1, "SRXYTL"[e->kind]) +
                    (e->kind == QUELLAR_TRACE_REJECTED ? " " : std::to_string(e->code) + " ");
        s->events.push_back(*e);
        s->events.back().bytes = nullptr;
      },
      &seen);
  ASSERT_TRUE(b.Open());
  QuellarSetTraceHandler(nullptr, nullptr);
  b.controller->Close();
  EXPECT_TRUE(b.Open());  // untraced
  EXPECT_EQ(seen.kinds,
            "S2 R2 S0 T4 Y4 S0 R4 S128 X T128 Y128 S128 R128 S129 R129 S130 R130 S131 R131 S132 "
            "R132 ");
  ASSERT_EQ(seen.events.size(), 21u);
  EXPECT_EQ(seen.events[0].length, 2);  // 02 01
  EXPECT_EQ(seen.events[3].timeout_ms, 2000u);
  EXPECT_EQ(seen.events[4].attempt, 2);
}

}  // namespace
}  // namespace quellar::test
