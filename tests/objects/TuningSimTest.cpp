// The tuning object against the virtual analyzer on a virtual clock: each search must find
// the known truth of the sample, and a range the recovery program cannot express is refused
// before anything reaches the line.
#include <cmath>
#include <limits>

#include "SimControllerSupport.h"
#include "sim/SimTestUtil.h"

namespace quellar::test {
namespace {

// The mean distance from the baseline of the first ten signal samples the analysis holds.
double FirstTen(IAnalysis* analysis) {
  double re = 0, im = 0, sum = 0;
  for (LONG i = 0; i < 100; ++i) {
    double r = 0, m = 0;
    analysis->get_SampleRE(i, &r);
    analysis->get_SampleIM(i, &m);
    re += r / 100, im += m / 100;
  }
  for (LONG i = 100; i < 110; ++i) {
    double r = 0, m = 0;
    analysis->get_SampleRE(i, &r);
    analysis->get_SampleIM(i, &m);
    sum += std::hypot(r - re, m - im);
  }
  return sum / 10;
}

TEST(TQuellarTuning, FindsTheTruthOfKnownSamples) {
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

    double d90 = 0, d180 = 0;
    ASSERT_EQ(tuning->Durations(&d90, &d180, &ok), S_OK);
    ASSERT_EQ(ok, VARIANT_TRUE);
    EXPECT_NEAR(d90, truth.D90, 100);
    EXPECT_NEAR(d180, 2 * truth.D90, 100);

    LONG gain = 0;
    ASSERT_EQ(tuning->Gain(d90, &gain, &ok), S_OK);
    ASSERT_EQ(ok, VARIANT_TRUE);
    EXPECT_EQ(b.Analyzer().Settings().Gain, gain);
    EXPECT_NEAR(FirstTen(analysis.get()), 358.4, 0.05 * 358.4);

    LONG coarse = 0, precise = 0;
    ASSERT_EQ(tuning->Resonance(d90, &coarse, &precise, &ok), S_OK);
    ASSERT_EQ(ok, VARIANT_TRUE);
    EXPECT_NEAR(coarse, truth.Resonance, 2);
    EXPECT_EQ(precise, 2047);
    EXPECT_EQ(b.Analyzer().Settings().BiasRoughly, coarse);
    EXPECT_EQ(b.Analyzer().Settings().BiasPrecise, 2048);

    // Every step starts relaxed (500 ms is over six T1 here), so the second impulse sees 90 %
    // of the first signal at T1 ln 10 after the first; the impulses are P + d90 + 8000 apart.
    double period = 0;
    ASSERT_EQ(tuning->Period(d90, 110000, 1e9, &period, &ok), S_OK);
    ASSERT_EQ(ok, VARIANT_TRUE);
    const double p = truth.T1 * std::log(10.0) - d90 - 8000;
    EXPECT_NEAR(period / 6, p, 0.03 * p);
  }
}

TEST(TQuellarTuning, PeriodRefusesRangesTheProgramCannotExpressWithoutTraffic) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  struct Range {
    double d90, from, to;
  };
  SimController b;
  ASSERT_TRUE(b.Open());
  TOwnedRef<ITuning> tuning;
  b.Child(&IController::get_Tuning, tuning);
  const uint32_t uploads = b.transport->Peer().Received(0x01);
  const uint32_t runs = b.transport->Peer().Received(0x02);
  const uint32_t start = b.Ms();
  for (const Range& r : {Range{3300, 109999, 2e5}, Range{3300, 3e5, 2e5}, Range{3300, kNaN, 2e5},
                         Range{3300, 2e5, kInf}, Range{kNaN, 2e5, 3e5}}) {
    double period = -1;
    VARIANT_BOOL ok = VARIANT_TRUE;
    EXPECT_EQ(tuning->Period(r.d90, r.from, r.to, &period, &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_FALSE) << r.from << " " << r.to;
    EXPECT_EQ(period, -1);
  }
  EXPECT_EQ(b.transport->Peer().Received(0x01), uploads);
  EXPECT_EQ(b.transport->Peer().Received(0x02), runs);
  EXPECT_EQ(b.Ms(), start);  // not even a settling pause
}

}  // namespace
}  // namespace quellar::test
