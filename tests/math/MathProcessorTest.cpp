#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <utility>
#include <vector>

#include "MathSupport.h"
#include "numerics/fourier/fourier.h"
#include "numerics/fourier_arrays.h"
#include "numerics/regress.h"
#include "support/ForeignDoubleArray.h"
#include "support/TestSupport.h"

namespace quellar::fourier {
namespace {

using test::Array;
using test::Line;
using test::TForeignArray;
using test::TSink;
using test::Values;
using Doubles = std::vector<double>;

class MathProcessor : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(math::CreateMathProcessor(IID_IMathProcessor, reinterpret_cast<void**>(&math_)),
              S_OK);
    saved_ = numerics::GetFittingMethod();
  }
  void TearDown() override {
    if (point_) point_->Release();
    math_->Release();
    numerics::SetFittingMethod(saved_);
  }
  // RegressionCustom on points of y = 1 + 2x, bounds +-10.
  VARIANT_BOOL Custom(LONG method, LONG count, Array& coeffs, const Doubles& lo = {-10, -10},
                      const Doubles& hi = {10, 10}, HRESULT want = S_OK) {
    Array x({0, 1, 2, 3}), y({1, 3, 5, 7}), min(lo), max(hi);
    VARIANT_BOOL ok = 1;
    EXPECT_EQ(math_->RegressionCustom(x, y, method, count, min, max, coeffs, &ok), want);
    return ok;
  }
  // A sink connected to the event point (cookie 0 when refused); it outlives the object.
  TSink& Connected(TSink::Handler handler) {
    sinks_.push_back(std::make_unique<TSink>(std::move(handler)));
    if (!point_) {
      IConnectionPointContainer* container = nullptr;
      math_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
      container->FindConnectionPoint(DIID_IMathProcessorEvents, &point_);
      container->Release();
    }
    cookie_ = 0;
    point_->Advise(sinks_.back().get(), &cookie_);
    return *sinks_.back();
  }

  std::vector<std::unique_ptr<TSink>> sinks_;
  IMathProcessor* math_ = nullptr;
  IConnectionPoint* point_ = nullptr;
  uint8_t saved_ = 0;
  DWORD cookie_ = 0;
};

TEST_F(MathProcessor, FourierMethodsReportSuccess) {
  // Unequal counts and N = 0 are refused, the outputs untouched.
  Array re({1, 2, 3}), im({0, 0, 0, 0}), outRe({9}), outIm({8}), empty;
  VARIANT_BOOL ok[6] = {1, 1, 1, 0, 0, 0};
  EXPECT_EQ(math_->FFT(re, im, outRe, outIm, &ok[0]), S_OK);
  EXPECT_EQ(math_->FFTPower(empty, empty, outRe, &ok[1]), S_OK);
  EXPECT_EQ(math_->FFTShift(empty, empty, outRe, outIm, &ok[2]), S_OK);
  EXPECT_TRUE(Values(outRe) == Doubles{9} && Values(outIm) == Doubles{8});
  Array a({1, 2, 3, 4}), b({0, 0, 0, 0}), impulse({1, 0, 0, 0}), zeros({0, 0, 0, 0}), power;
  EXPECT_EQ(math_->FFTShift(a, b, outRe, outIm, &ok[3]), S_OK);
  EXPECT_EQ(math_->FFTPower(impulse, zeros, power, &ok[4]), S_OK);
  EXPECT_EQ(Values(power), Doubles(4, 0.25));
  EXPECT_EQ(math_->FFT(a, b, a, b, &ok[5]), S_OK);  // outputs may be the inputs
  EXPECT_EQ(Values(a), (Doubles{2.5, -0.5, -0.5, -0.5}));
  for (int i = 0; i < 6; ++i) EXPECT_EQ(ok[i], i < 3 ? VARIANT_FALSE : VARIANT_TRUE) << i;
}

TEST_F(MathProcessor, BuiltInRegressionsGiveTheirCoefficientsInOrder) {
  using M = IMathProcessor;
  const struct {
    HRESULT (M::*method)(IDoubleArray*, IDoubleArray*, IDoubleArray*, VARIANT_BOOL*);
    double (*f)(double);
    Doubles want;
  } cases[] = {
      {&M::RegressionLinear, [](double x) { return 1 + 2 * x; }, {1, 2}},
      {&M::RegressionExp, [](double x) { return 5 * std::exp(-0.5 * x); }, {5, 0.5}},
      {&M::RegressionExpConst, [](double x) { return 2 + 5 * std::exp(-0.5 * x); }, {2, 5, 0.5}},
      {&M::RegressionPower, [](double x) { return 3 * std::pow(x, 1.5); }, {3, 1.5}},
      {&M::RegressionHill, [](double x) { return 10 * x * x / (9 + x * x); }, {10, 3, 2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "want " << c.want[0] << ", " << c.want[1]);
    Doubles xs, ys;
    for (int i = 1; i <= 40; ++i) xs.push_back(0.25 * i), ys.push_back(c.f(0.25 * i));
    Array x(xs), y(ys), coeffs({7, 7, 7, 7, 7});
    VARIANT_BOOL ok = 0;
    ASSERT_EQ((math_->*c.method)(x, y, coeffs, &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_TRUE);
    const Doubles got = Values(coeffs);
    ASSERT_EQ(got.size(), c.want.size());
    for (size_t j = 0; j < got.size(); ++j) EXPECT_NEAR(c.want[j], got[j], 1e-6 * c.want[j]);
  }
  // A failed fit leaves Coeffs resized with its old items; unequal counts change nothing.
  Array x({1, 1, 1}), y({1, 3, 5}), coeffs({7, 8, 9}), shorter({1, 2});
  VARIANT_BOOL ok[2] = {1, 1};
  ASSERT_EQ(math_->RegressionLinear(x, y, coeffs, &ok[0]), S_OK);
  ASSERT_EQ(math_->RegressionHill(x, shorter, coeffs, &ok[1]), S_OK);
  EXPECT_TRUE(ok[0] == VARIANT_FALSE && ok[1] == VARIANT_FALSE);
  EXPECT_EQ(Values(coeffs), (Doubles{7, 8}));
}

TEST_F(MathProcessor, CustomFitRaisesTheEventWithFiveItemsOnOneSinkOnly) {
  Array coeffs({0.5, 0.5});
  EXPECT_EQ(Custom(0, 2, coeffs), VARIANT_FALSE);  // no sink connected
  LONG seenCount = 0, seenDerivs = 0;
  Connected([&](double x, IDoubleArray* c, IDoubleArray* d, HRESULT* hr) {
    c->get_Count(&seenCount), d->get_Count(&seenDerivs);
    return Line(x, c, d, hr);
  });
  EXPECT_EQ(cookie_, 1u);
  Connected(Line);
  EXPECT_EQ(cookie_, 0u);                   // CONNECT_E_ADVISELIMIT
  for (LONG method : {0, 1, 2, 256 + 1}) {  // only the low 8 bits count
    SCOPED_TRACE(method);
    coeffs.Set({0.5, 0.5});
    EXPECT_EQ(Custom(method, 2, coeffs), VARIANT_TRUE);
    EXPECT_NEAR(Values(coeffs)[1], 2, 1e-6);
    EXPECT_EQ(numerics::GetFittingMethod(), method & 0xFF);  // later built-in fits use it
  }
  EXPECT_TRUE(seenCount == 5 && seenDerivs == 5);
}

TEST_F(MathProcessor, CustomFitRefusesBadArgumentsAndChangesNothing) {
  TSink& sink = Connected(Line);
  numerics::SetFittingMethod(numerics::kMethodBfgs);
  const struct {
    LONG method, count;
    Doubles coeffs, lo, hi;
  } cases[] = {
      {5, 2, {0.5, 0.5}, {-9, -9}, {9, 9}},  // no such method
      {0, 0, {0.5, 0.5}, {-9, -9}, {9, 9}},  // no coefficient
      {0, 2, {0.5}, {-9, -9}, {9, 9}},       // Coeffs, MinCoeffs, MaxCoeffs too short
      {0, 2, {0.5, 0.5}, {-9}, {9, 9}},     {0, 2, {0.5, 0.5}, {-9, -9}, {9}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.method << " " << c.count);
    Array coeffs(c.coeffs);
    EXPECT_EQ(Custom(c.method, c.count, coeffs, c.lo, c.hi), VARIANT_FALSE);
    EXPECT_EQ(Values(coeffs), c.coeffs);
  }
  EXPECT_EQ(sink.events, 0);
  EXPECT_EQ(numerics::GetFittingMethod(), numerics::kMethodBfgs);
}

TEST_F(MathProcessor, MisbehavingHandlerCannotCorruptTheFitButCanFailIt) {
  Array coeffs({0.5, 0.5});
  Connected([&](double x, IDoubleArray* c, IDoubleArray* d, HRESULT* hr) {
    const double y = Line(x, c, d, hr);
    c->put_Count(0);                                        // the object's own event arrays
    d->put_Count(1000);                                     // grown: storage moves
    static_cast<IDoubleArray*>(coeffs)->put_Count(100000);  // the client's, written at the end
    return y;
  });
  EXPECT_EQ(Custom(0, 2, coeffs), VARIANT_TRUE);
  EXPECT_NEAR(Values(coeffs)[1], 2, 1e-6);

  EXPECT_EQ(point_->Unadvise(cookie_), S_OK);
  test::ReportCapture reports;
  int calls = 0;
  Connected([&](double x, IDoubleArray* c, IDoubleArray* d, HRESULT* hr) {
    if (++calls == 30) *hr = E_ACCESSDENIED;
    return Line(x, c, d, hr);
  });
  coeffs.Set({0.5, 0.5});
  EXPECT_EQ(Custom(0, 2, coeffs, {-10, -10}, {10, 10}, E_ACCESSDENIED), VARIANT_FALSE);
  EXPECT_EQ(reports.Count(), 2u);                  // EvaluateCustomModel, then RegressionCustom
  EXPECT_NE(Values(coeffs), (Doubles{0.5, 0.5}));  // the last iterate

  EXPECT_EQ(point_->Unadvise(cookie_), S_OK);
  Connected([](double, IDoubleArray*, IDoubleArray*, HRESULT*) { return std::nan(""); });
  for (LONG method : {0, 1, 2}) EXPECT_EQ(Custom(method, 2, coeffs), VARIANT_FALSE) << method;
}

TEST_F(MathProcessor, FitInsideTheHandlerLeavesTheOuterFitAlone) {
  Array alone({0.5, 0.5}), outer({0.5, 0.5}), inner({0.5, 0.5}), lo({-10, -10}), hi({10, 10});
  bool nest = false;
  VARIANT_BOOL innerOk = 0;
  Connected([&](double x, IDoubleArray* c, IDoubleArray* d, HRESULT* hr) {
    if (std::exchange(nest, false)) {
      Array ix({0, 1, 2}), iy({4, 1, -2});  // y = 4 - 3x
      math_->RegressionCustom(ix, iy, 0, 2, lo, hi, inner, &innerOk);
    }
    return Line(x, c, d, hr);
  });
  ASSERT_EQ(Custom(0, 2, alone), VARIANT_TRUE);
  nest = true;
  ASSERT_EQ(Custom(0, 2, outer), VARIANT_TRUE);
  EXPECT_EQ(Values(outer), Values(alone));
  EXPECT_EQ(innerOk, VARIANT_TRUE);
  EXPECT_NEAR(Values(inner)[1], -3, 1e-6);
}

class FourierArrays : public ::testing::TestWithParam<bool> {
 protected:
  IDoubleArray* Make(const Doubles& values) {
    if (GetParam()) {
      foreign_.push_back(std::make_unique<TForeignArray>());
      foreign_.back()->items = values;
      return foreign_.back().get();
    }
    library_.push_back(std::make_unique<Array>(values));
    return *library_.back();
  }

  std::vector<std::unique_ptr<Array>> library_;
  std::vector<std::unique_ptr<TForeignArray>> foreign_;
};

TEST_P(FourierArrays, RoutinesMatchTheRawOnesAndSizeTheOutputs) {
  const Doubles re{1, -2, 0.5, 3, 4, -1, 0, 2, 7, 1, 1, -3};
  const Doubles im{0, 1, 2, -1, 0.25, 0, 3, 1, -1, 0, 2, 5};
  Doubles wantRe(12), wantIm(12), centreRe(12), centreIm(12), rawRe = re, rawIm = im, power(12);
  ASSERT_TRUE(FourierTransform(re.data(), im.data(), wantRe.data(), wantIm.data(), 12, -1));
  CentreSpectrum(re.data(), im.data(), centreRe.data(), centreIm.data(), 12);
  ASSERT_TRUE(PowerSpectrum(rawRe.data(), rawIm.data(), power.data(), 12));
  IDoubleArray *outRe = Make({9}), *outIm = Make({});
  ASSERT_TRUE(FourierTransform(Make(re), Make(im), outRe, outIm, -1));
  EXPECT_TRUE(Values(outRe) == wantRe && Values(outIm) == wantIm);
  ASSERT_TRUE(CentreSpectrum(Make(re), Make(im), outRe, outIm));
  EXPECT_TRUE(Values(outRe) == centreRe && Values(outIm) == centreIm);
  ASSERT_TRUE(CentreSpectrum(Make({}), Make({}), outRe, outIm));
  EXPECT_TRUE(Values(outRe).empty());
  IDoubleArray *inRe = Make(re), *inIm = Make(im);
  ASSERT_TRUE(FourierTransform(inRe, inIm, inRe, inIm, -1));
  EXPECT_TRUE(Values(inRe) == wantRe && Values(inIm) == wantIm);
  // The power spectrum leaves the normalised transform in its inputs.
  IDoubleArray *powerRe = Make(re), *powerIm = Make(im), *powerOut = Make({1, 2, 3});
  ASSERT_TRUE(PowerSpectrum(powerRe, powerIm, powerOut));
  EXPECT_TRUE(Values(powerOut) == power && Values(powerRe) == rawRe && Values(powerIm) == rawIm);
}

TEST_P(FourierArrays, RefusesWhatCannotBeTransformedAndPeakIndexStaysInside) {
  IDoubleArray *outRe = Make({5, 6}), *outIm = Make({7});
  EXPECT_FALSE(FourierTransform(Make({1, 2, 3}), Make({1, 2, 3, 4}), outRe, outIm, 1));
  EXPECT_FALSE(FourierTransform(Make({}), Make({}), outRe, outIm, 1));  // N = 0
  EXPECT_FALSE(FourierTransform(nullptr, Make({1}), outRe, outIm, 1));
  EXPECT_FALSE(FourierTransform(Make({1}), Make({1}), nullptr, outIm, 1));
  EXPECT_FALSE(PowerSpectrum(Make({1, 2}), Make({1}), outRe));
  EXPECT_FALSE(PowerSpectrum(Make({}), Make({}), outRe));
  EXPECT_FALSE(CentreSpectrum(Make({1, 2}), Make({1}), outRe, outIm));
  EXPECT_TRUE(Values(outRe) == Doubles({5, 6}) && Values(outIm) == Doubles{7});
  IDoubleArray* values = Make({0, 3, 3, 1, 8});
  EXPECT_TRUE(PeakIndex(values, 4) == 1 && PeakIndex(values, 50) == 4 &&
              PeakIndex(values, -3) == 0);
  EXPECT_EQ(PeakIndex(static_cast<IDoubleArray*>(nullptr), 2), 0);
}

INSTANTIATE_TEST_SUITE_P(LibraryAndForeign, FourierArrays, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Foreign" : "Library"; });

TEST(FourierArraysMixed, LibraryAndForeignArraysCombine) {
  const long baseline = automation::server::ObjectCount();
  {
    Array re({3, 0, 0}), outIm;
    TForeignArray im, outRe;
    im.items = {0, 0, 0};
    ASSERT_TRUE(FourierTransform(re, &im, &outRe, outIm, 1));
    EXPECT_TRUE(outRe.items == Doubles(3, 1.0) && Values(outIm) == Doubles(3, 0.0));
    EXPECT_TRUE(im.refs == 1 && outRe.refs == 1 && im.itemCalls > 0) << im.refs << outRe.refs;
  }
  EXPECT_EQ(automation::server::ObjectCount(), baseline) << "a storage query kept a reference";
}

TEST(FourierArraysMixed, OutputResizedWhileReadingIsRefused) {
  // Reading the foreign input empties the output sized before; writing it would overrun.
  for (int routine = 0; routine < 3; ++routine) {
    Array outRe, outIm;
    TForeignArray re, im;
    re.items = {1, 2, 3, 4}, im.items = {0, 0, 0, 0}, re.shrinkOnRead = outRe;
    EXPECT_FALSE(routine == 0   ? FourierTransform(&re, &im, outRe, outIm, 1)
                 : routine == 1 ? PowerSpectrum(&re, &im, outRe)
                                : CentreSpectrum(&re, &im, outRe, outIm))
        << routine;
    EXPECT_TRUE(Values(outRe).empty());
  }
}

TEST(FourierArraysMixed, AFailingArrayCallPassesOutReported) {
  test::ReportCapture reports;
  TForeignArray re, im, outRe, outIm;
  re.items = {1, 2, 3, 4}, im.items = {0, 0, 0, 0}, re.failAt = 2;
  EXPECT_THROW(FourierTransform(&re, &im, &outRe, &outIm, 1), EQuellarError);
  ASSERT_EQ(reports.Count(), 1u);
  EXPECT_NE(reports.Log().find(kTagFourierTransform), std::string::npos);
  EXPECT_EQ(outRe.items, Doubles(4, 0.0));  // sized, never written
}

}  // namespace
}  // namespace quellar::fourier
