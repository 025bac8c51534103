#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "sim/SimPeer.h"
#include "sim/SimSample.h"

namespace quellar::test {
namespace {

using sim::TSimSample;

TEST(ParseSimSample, SetsTheNamedParametersOnly) {
  TSimSample s;
  std::string error;
  ASSERT_TRUE(sim::ParseSimSample(
      " d90=2500, t1=1e8,t2=4e7,t2star=2e6,resonance=1234.5,seed=0x10,system_temp=none,"
      "gain=4095,master=A1/B2,",
      s, error))
      << error;
  EXPECT_EQ(s.T1, 1e8);
  EXPECT_EQ(s.Resonance, 1234.5);
  EXPECT_EQ(s.Seed, 16u);
  EXPECT_TRUE(std::isnan(s.SystemTemperature));
  EXPECT_EQ(s.Gain, 4095);
  EXPECT_EQ(s.MasterID, "A1/B2");
  EXPECT_EQ(s.Amplitude, TSimSample{}.Amplitude);
}

TEST(ParseSimSample, RefusesBadTextAndKeepsTheSample) {
  const std::pair<const char*, const char*> cases[] = {
      {"d90", "sample parameter 'd90' is not key=value"},
      {"t3=5",
       "unknown sample parameter 't3'; known: d90 t1 t2 t2star b1_spread resonance "
       "hz_per_code fine_share amplitude noise baseline seed sample_temp setpoint "
       "thermal_tau system_temp gain coarse fine nitrogen aux master magnetic"},
      {"t1=-5", "bad value '-5' for sample parameter t1: expected a number above 0"},
      {"noise=loud", "bad value 'loud' for sample parameter noise: expected a number of 0 or more"},
      {"gain=4096",
       "bad value '4096' for sample parameter gain: expected an integer from 0 to 4095"},
      {"seed=-1", "bad value '-1' for sample parameter seed: expected an unsigned 64-bit integer"},
      {"master=A//B",
       "bad value 'A//B' for sample parameter master: expected non-empty items "
       "joined by /"},
      {"t2star=3e7", "sample parameter t2star must be below t2"},
      {"t1=1e7", "sample parameter t2 must not exceed twice t1"},
  };
  for (const auto& [text, message] : cases) {
    TSimSample s;
    std::string error;
    EXPECT_FALSE(sim::ParseSimSample(text, s, error)) << text;
    EXPECT_EQ(error, message);
    EXPECT_EQ(s.T1, TSimSample{}.T1);
  }
}

TEST(ParseSimFault, ReadsEveryKindAndRefusesTheRest) {
  sim::TSimFaults f;
  std::string error;
  for (const char* text : {"drop:0x83", "corrupt:*#2", "delay:2#3=2500", "duplicate:0",
                           "stray:0x03=0x02", "hangup=40", "hangup-in=7", "mute"}) {
    ASSERT_TRUE(sim::ParseSimFault(text, f, error)) << text << ": " << error;
  }
  ASSERT_EQ(f.Rules.size(), 5u);
  EXPECT_EQ(f.Rules[0].Code, 0x83);
  EXPECT_EQ(f.Rules[1].Code, -1);
  EXPECT_EQ(f.Rules[1].Nth, 2);
  EXPECT_EQ(f.Rules[2].Action, sim::TSimFaultAction::Delay);
  EXPECT_EQ(f.Rules[2].Value, 2500);
  EXPECT_EQ(f.Rules[4].Value, 2);
  EXPECT_EQ(f.HangUpAfterSent, 40);
  EXPECT_EQ(f.HangUpAfterReceived, 7);
  EXPECT_TRUE(f.Mute);
  for (const char* text : {"drop", "drop:256", "drop:0x83#0", "delay:0x02", "drop:1=5", "stray:1=x",
                           "hangup=-1", "explode:1"}) {
    EXPECT_FALSE(sim::ParseSimFault(text, f, error)) << text;
    EXPECT_EQ(error.rfind(std::string("bad fault '") + text + "': ", 0), 0u) << error;
  }
}

}  // namespace
}  // namespace quellar::test
