// The Fourier routines on array objects: the library's own DoubleArray (worked on in place)
// and an IDoubleArray written here (reached through Item and Count only).
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "arrays/PrtArray.h"
#include "numerics/fourier/fourier.h"
#include "numerics/fourier_arrays.h"
#include "support/ForeignDoubleArray.h"
#include "support/TestSupport.h"

namespace quellar::fourier {
namespace {

using test::TForeignArray;

// One reference to a library DoubleArray.
struct Owned {
  IDoubleArray* p = nullptr;
  Owned() {
    EXPECT_EQ(arrays::CreateDoubleArray(IID_IDoubleArray, reinterpret_cast<void**>(&p)), S_OK);
  }
  ~Owned() {
    if (p) p->Release();
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
};

// Every array role is played once by a library array and once by a foreign one.
class FourierArrays : public ::testing::TestWithParam<bool> {
 protected:
  // A fresh array holding values, of the kind the test parameter selects.
  IDoubleArray* Make(const std::vector<double>& values) {
    if (GetParam()) {
      foreign_.push_back(std::make_unique<TForeignArray>());
      foreign_.back()->items = values;
      return foreign_.back().get();
    }
    owned_.push_back(std::make_unique<Owned>());
    IDoubleArray* a = owned_.back()->p;
    EXPECT_EQ(a->put_Count(static_cast<LONG>(values.size())), S_OK);
    for (size_t i = 0; i < values.size(); ++i)
      EXPECT_EQ(a->put_Item(static_cast<LONG>(i), values[i]), S_OK);
    return a;
  }
  static std::vector<double> Values(IDoubleArray* a) {
    LONG n = 0;
    EXPECT_EQ(a->get_Count(&n), S_OK);
    std::vector<double> out(static_cast<size_t>(n));
    for (LONG i = 0; i < n; ++i) EXPECT_EQ(a->get_Item(i, &out[static_cast<size_t>(i)]), S_OK);
    return out;
  }

  std::vector<std::unique_ptr<Owned>> owned_;
  std::vector<std::unique_ptr<TForeignArray>> foreign_;
};

TEST_P(FourierArrays, TransformMatchesTheRawRoutineAndSizesTheOutputs) {
  const std::vector<double> re{1, -2, 0.5, 3, 4, -1, 0, 2, 7, 1, 1, -3};
  const std::vector<double> im{0, 1, 2, -1, 0.25, 0, 3, 1, -1, 0, 2, 5};
  std::vector<double> wantRe(12), wantIm(12);
  ASSERT_TRUE(FourierTransform(re.data(), im.data(), wantRe.data(), wantIm.data(), 12, 1));
  IDoubleArray* outRe = Make({9});
  IDoubleArray* outIm = Make({});
  ASSERT_TRUE(FourierTransform(Make(re), Make(im), outRe, outIm, 1));
  EXPECT_EQ(Values(outRe), wantRe);
  EXPECT_EQ(Values(outIm), wantIm);

  // The impulse: 1/N in every bin.
  IDoubleArray* impulseRe = Make({1, 0, 0, 0});
  IDoubleArray* impulseIm = Make({0, 0, 0, 0});
  ASSERT_TRUE(FourierTransform(impulseRe, impulseIm, impulseRe, impulseIm, 1));  // in place
  EXPECT_EQ(Values(impulseRe), std::vector<double>(4, 0.25));
  EXPECT_EQ(Values(impulseIm), std::vector<double>(4, 0.0));
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
  EXPECT_EQ(Values(outRe), (std::vector<double>{5, 6}));
  EXPECT_EQ(Values(outIm), (std::vector<double>{7}));
}

TEST_P(FourierArrays, PowerSpectrumCentresTheAmplitudeAndLeavesTheTransform) {
  std::vector<double> cosine(8);
  for (size_t j = 0; j < 8; ++j) cosine[j] = std::cos(2 * M_PI * 2 * j / 8);
  std::vector<double> wantRe(8), wantIm(8), zeros(8, 0.0);
  ASSERT_TRUE(FourierTransform(cosine.data(), zeros.data(), wantRe.data(), wantIm.data(), 8, 1));
  IDoubleArray* re = Make(cosine);
  IDoubleArray* im = Make(zeros);
  IDoubleArray* power = Make({1, 2, 3});
  ASSERT_TRUE(PowerSpectrum(re, im, power));
  const std::vector<double> got = Values(power);
  ASSERT_EQ(got.size(), 8u);
  for (size_t i = 0; i < 8; ++i)
    EXPECT_NEAR(got[i], (i == 2 || i == 6) ? 0.5 : 0.0, 1e-15) << "i = " << i;
  EXPECT_EQ(Values(re), wantRe);
  EXPECT_EQ(Values(im), wantIm);
}

TEST_P(FourierArrays, CentreSpectrumRotatesIntoAnyOutputs) {
  IDoubleArray* outRe = Make({});
  IDoubleArray* outIm = Make({9, 9, 9, 9, 9, 9});
  ASSERT_TRUE(CentreSpectrum(Make({1, 2, 3, 4}), Make({0, 0, 0, 0}), outRe, outIm));
  EXPECT_EQ(Values(outRe), (std::vector<double>{3, 4, 1, 2}));
  EXPECT_EQ(Values(outIm), (std::vector<double>{0, 0, 0, 0}));

  IDoubleArray* re = Make({1, 2, 3, 4, 5});
  IDoubleArray* im = Make({-1, -2, -3, -4, -5});
  ASSERT_TRUE(CentreSpectrum(re, im, re, im));  // in place
  EXPECT_EQ(Values(re), (std::vector<double>{4, 5, 1, 2, 3}));
  EXPECT_EQ(Values(im), (std::vector<double>{-4, -5, -1, -2, -3}));

  ASSERT_TRUE(CentreSpectrum(Make({}), Make({}), re, im));
  EXPECT_TRUE(Values(re).empty());
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
    Owned re, outIm;
    TForeignArray im, outRe;
    ASSERT_EQ(re.p->put_Count(3), S_OK);
    ASSERT_EQ(re.p->put_Item(0, 3), S_OK);
    im.items = {0, 0, 0};
    ASSERT_TRUE(FourierTransform(re.p, &im, &outRe, outIm.p, 1));
    EXPECT_EQ(outRe.items, std::vector<double>(3, 1.0));
    LONG n = 0;
    EXPECT_EQ(outIm.p->get_Count(&n), S_OK);
    EXPECT_EQ(n, 3);
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
    Owned outRe, outIm;
    TForeignArray re, im;
    re.items = {1, 2, 3, 4};
    im.items = {0, 0, 0, 0};
    re.shrinkOnRead = outRe.p;
    const bool ok = routine == 0   ? FourierTransform(&re, &im, outRe.p, outIm.p, 1)
                    : routine == 1 ? PowerSpectrum(&re, &im, outRe.p)
                                   : CentreSpectrum(&re, &im, outRe.p, outIm.p);
    EXPECT_FALSE(ok);
    LONG n = -1;
    outRe.p->get_Count(&n);
    EXPECT_EQ(n, 0);
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
  EXPECT_EQ(outRe.items, std::vector<double>(4, 0.0));  // sized, never written
}

}  // namespace
}  // namespace quellar::fourier
