// The Fourier routines on array objects: the library's own DoubleArray (worked on in place)
// and an IDoubleArray written here (reached through Item and Count only).
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "MathSupport.h"
#include "numerics/fourier/fourier.h"
#include "numerics/fourier_arrays.h"
#include "support/ForeignDoubleArray.h"
#include "support/TestSupport.h"

namespace quellar::fourier {
namespace {

using test::TForeignArray;
using test::Values;
using Doubles = std::vector<double>;

// Every array role is played once by a library array and once by a foreign one.
class FourierArrays : public ::testing::TestWithParam<bool> {
 protected:
  IDoubleArray* Make(const Doubles& values) {
    if (GetParam()) {
      foreign_.push_back(std::make_unique<TForeignArray>());
      foreign_.back()->items = values;
      return foreign_.back().get();
    }
    library_.push_back(std::make_unique<test::Array>(values));
    return *library_.back();
  }

  std::vector<std::unique_ptr<test::Array>> library_;
  std::vector<std::unique_ptr<TForeignArray>> foreign_;
};

TEST_P(FourierArrays, RoutinesMatchTheRawOnesAndSizeTheOutputs) {
  const Doubles re{1, -2, 0.5, 3, 4, -1, 0, 2, 7, 1, 1, -3};
  const Doubles im{0, 1, 2, -1, 0.25, 0, 3, 1, -1, 0, 2, 5};
  Doubles wantRe(12), wantIm(12), wantPower(12), centreRe(12), centreIm(12);
  ASSERT_TRUE(FourierTransform(re.data(), im.data(), wantRe.data(), wantIm.data(), 12, -1));
  CentreSpectrum(re.data(), im.data(), centreRe.data(), centreIm.data(), 12);
  IDoubleArray* outRe = Make({9});
  IDoubleArray* outIm = Make({});
  ASSERT_TRUE(FourierTransform(Make(re), Make(im), outRe, outIm, -1));
  EXPECT_EQ(Values(outRe), wantRe);
  EXPECT_EQ(Values(outIm), wantIm);
  ASSERT_TRUE(CentreSpectrum(Make(re), Make(im), outRe, Make({})));
  EXPECT_EQ(Values(outRe), centreRe);
  IDoubleArray* inPlaceRe = Make(re);
  IDoubleArray* inPlaceIm = Make(im);
  ASSERT_TRUE(FourierTransform(inPlaceRe, inPlaceIm, inPlaceRe, inPlaceIm, -1));
  EXPECT_EQ(Values(inPlaceRe), wantRe);
  EXPECT_EQ(Values(inPlaceIm), wantIm);
  inPlaceRe = Make(re), inPlaceIm = Make(im);
  ASSERT_TRUE(CentreSpectrum(inPlaceRe, inPlaceIm, inPlaceRe, inPlaceIm));
  EXPECT_EQ(Values(inPlaceRe), centreRe);
  EXPECT_EQ(Values(inPlaceIm), centreIm);
  ASSERT_TRUE(CentreSpectrum(Make({}), Make({}), inPlaceRe, inPlaceIm));
  EXPECT_TRUE(Values(inPlaceRe).empty());

  // The power spectrum leaves the normalised transform in its inputs.
  Doubles rawRe = re, rawIm = im;
  ASSERT_TRUE(PowerSpectrum(rawRe.data(), rawIm.data(), wantPower.data(), 12));
  IDoubleArray* powerRe = Make(re);
  IDoubleArray* powerIm = Make(im);
  IDoubleArray* power = Make({1, 2, 3});
  ASSERT_TRUE(PowerSpectrum(powerRe, powerIm, power));
  EXPECT_EQ(Values(power), wantPower);
  EXPECT_EQ(Values(powerRe), rawRe);
  EXPECT_EQ(Values(powerIm), rawIm);
}

TEST_P(FourierArrays, RefusesWhatCannotBeTransformed) {
  IDoubleArray* outRe = Make({5, 6});
  IDoubleArray* outIm = Make({7});
  EXPECT_FALSE(FourierTransform(Make({1, 2, 3}), Make({1, 2, 3, 4}), outRe, outIm, 1));
  EXPECT_FALSE(FourierTransform(Make({}), Make({}), outRe, outIm, 1));  // N = 0
  EXPECT_FALSE(FourierTransform(nullptr, Make({1}), outRe, outIm, 1));
  EXPECT_FALSE(FourierTransform(Make({1}), Make({1}), nullptr, outIm, 1));
  EXPECT_FALSE(PowerSpectrum(Make({1, 2}), Make({1}), outRe));
  EXPECT_FALSE(PowerSpectrum(Make({}), Make({}), outRe));
  EXPECT_FALSE(CentreSpectrum(Make({1, 2}), Make({1}), outRe, outIm));
  EXPECT_EQ(Values(outRe), (Doubles{5, 6}));
  EXPECT_EQ(Values(outIm), (Doubles{7}));
}

TEST_P(FourierArrays, PeakIndexStopsAtCountAndTheArrayEnd) {
  IDoubleArray* values = Make({0, 3, 3, 1, 8});
  EXPECT_EQ(PeakIndex(values, 4), 1);
  EXPECT_EQ(PeakIndex(values, 5), 4);
  EXPECT_EQ(PeakIndex(values, 50), 4);
  EXPECT_EQ(PeakIndex(values, 0), 0);
  EXPECT_EQ(PeakIndex(values, -3), 0);
  EXPECT_EQ(PeakIndex(Make({-1, -2}), 2), 0);
  EXPECT_EQ(PeakIndex(static_cast<IDoubleArray*>(nullptr), 2), 0);
}

INSTANTIATE_TEST_SUITE_P(LibraryAndForeign, FourierArrays, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Foreign" : "Library"; });

TEST(FourierArraysMixed, LibraryAndForeignArraysCombine) {
  const long baseline = automation::server::ObjectCount();
  {
    test::Array re({3, 0, 0}), outIm;
    TForeignArray im, outRe;
    im.items = {0, 0, 0};
    ASSERT_TRUE(FourierTransform(re, &im, &outRe, outIm, 1));
    EXPECT_EQ(outRe.items, Doubles(3, 1.0));
    EXPECT_EQ(Values(outIm), Doubles(3, 0.0));
    EXPECT_EQ(im.refs, 1u);  // queried for storage, nothing kept
    EXPECT_EQ(outRe.refs, 1u);
    EXPECT_GT(im.itemCalls, 0);
  }
  EXPECT_EQ(automation::server::ObjectCount(), baseline) << "a storage query kept a reference";
}

TEST(FourierArraysMixed, OutputResizedWhileReadingIsRefused) {
  // Reading the foreign input empties the library output that was sized before: writing the
  // transform into it would run past its storage.
  for (int routine = 0; routine < 3; ++routine) {
    SCOPED_TRACE(routine);
    test::Array outRe, outIm;
    TForeignArray re, im;
    re.items = {1, 2, 3, 4};
    im.items = {0, 0, 0, 0};
    re.shrinkOnRead = outRe;
    EXPECT_FALSE(routine == 0   ? FourierTransform(&re, &im, outRe, outIm, 1)
                 : routine == 1 ? PowerSpectrum(&re, &im, outRe)
                                : CentreSpectrum(&re, &im, outRe, outIm));
    EXPECT_TRUE(Values(outRe).empty());
  }
}

TEST(FourierArraysMixed, AFailingArrayCallPassesOutReported) {
  test::ReportCapture reports;
  TForeignArray re, im, outRe, outIm;
  re.items = {1, 2, 3, 4};
  im.items = {0, 0, 0, 0};
  re.failAt = 2;
  try {
    FourierTransform(&re, &im, &outRe, &outIm, 1);
    ADD_FAILURE() << "no exception";
  } catch (const EQuellarError& e) {
    EXPECT_EQ(e.Status(), E_FAIL);
  }
  ASSERT_EQ(reports.Count(), 1u);
  EXPECT_NE(reports.Log().find(kTagFourierTransform), std::string::npos);
  EXPECT_EQ(outRe.items, Doubles(4, 0.0));  // sized, never written
}

}  // namespace
}  // namespace quellar::fourier
