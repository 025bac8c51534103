// The math processor object: argument checks, the built-in regressions, the custom fit through
// the client's IDispatch::Invoke, and what a misbehaving handler can and cannot do.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <utility>

#include "MathSupport.h"
#include "numerics/regress.h"
#include "support/TestSupport.h"

namespace quellar::math {
namespace {

using test::Array;
using test::Line;
using test::TSink;
using test::Values;
using Doubles = std::vector<double>;

class MathProcessor : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CreateMathProcessor(IID_IMathProcessor, reinterpret_cast<void**>(&math_)), S_OK);
    saved_ = numerics::GetFittingMethod();
  }
  void TearDown() override {
    if (point_) point_->Release();
    math_->Release();
    numerics::SetFittingMethod(saved_);
  }
  // RegressionCustom on points of y = 1 + 2x, bounds +-10.
  VARIANT_BOOL Custom(LONG method, LONG count, Array& coeffs, const Doubles& lo = {-10, -10},
                      const Doubles& hi = {10, 10}) {
    Array x({0, 1, 2, 3}), y({1, 3, 5, 7}), min(lo), max(hi);
    VARIANT_BOOL ok = 1;
    EXPECT_EQ(math_->RegressionCustom(x, y, method, count, min, max, coeffs, &ok), S_OK);
    return ok;
  }
  // A sink connected to the object's event point (cookie 0 when refused); it outlives the
  // object.
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
  Array re({1, 2, 3}), im({0, 0, 0, 0}), outRe({9}), outIm({8}), empty, empty2;
  VARIANT_BOOL ok[6] = {1, 1, 1, 0, 0, 0};
  EXPECT_EQ(math_->FFT(re, im, outRe, outIm, &ok[0]), S_OK);
  EXPECT_EQ(math_->FFTPower(empty, empty2, outRe, &ok[1]), S_OK);
  EXPECT_EQ(math_->FFTShift(empty, empty2, outRe, outIm, &ok[2]), S_OK);
  EXPECT_EQ(Values(outRe), Doubles{9});
  EXPECT_EQ(Values(outIm), Doubles{8});
  Array a({1, 2, 3, 4}), b({0, 0, 0, 0}), impulse({1, 0, 0, 0}), zeros({0, 0, 0, 0}), power;
  EXPECT_EQ(math_->FFTShift(a, b, outRe, outIm, &ok[3]), S_OK);
  EXPECT_EQ(Values(outRe), (Doubles{3, 4, 1, 2}));
  EXPECT_EQ(math_->FFTPower(impulse, zeros, power, &ok[4]), S_OK);
  EXPECT_EQ(Values(power), Doubles(4, 0.25));
  EXPECT_EQ(Values(impulse), Doubles(4, 0.25));
  EXPECT_EQ(math_->FFT(a, b, a, b, &ok[5]), S_OK);  // outputs may be the inputs
  EXPECT_EQ(Values(a), (Doubles{2.5, -0.5, -0.5, -0.5}));
  for (int i = 0; i < 6; ++i) EXPECT_EQ(ok[i], i < 3 ? VARIANT_FALSE : VARIANT_TRUE) << i;
}

TEST_F(MathProcessor, BuiltInRegressionsGiveTheirCoefficientsInOrder) {
  using Method =
      HRESULT (IMathProcessor::*)(IDoubleArray*, IDoubleArray*, IDoubleArray*, VARIANT_BOOL*);
  const struct {
    Method method;
    double (*f)(double);
    Doubles want;
  } cases[] = {
      {&IMathProcessor::RegressionLinear, [](double x) { return 1 + 2 * x; }, {1, 2}},
      {&IMathProcessor::RegressionExp, [](double x) { return 5 * std::exp(-0.5 * x); }, {5, 0.5}},
      {&IMathProcessor::RegressionExpConst,
       [](double x) { return 2 + 5 * std::exp(-0.5 * x); },
       {2, 5, 0.5}},
      {&IMathProcessor::RegressionPower, [](double x) { return 3 * std::pow(x, 1.5); }, {3, 1.5}},
      {&IMathProcessor::RegressionHill,
       [](double x) { return 10 * x * x / (9 + x * x); },
       {10, 3, 2}},
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
  VARIANT_BOOL ok = 1;
  ASSERT_EQ(math_->RegressionLinear(x, y, coeffs, &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_FALSE);
  EXPECT_EQ(Values(coeffs), (Doubles{7, 8}));
  ok = 1;
  ASSERT_EQ(math_->RegressionHill(x, shorter, coeffs, &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_FALSE);
  EXPECT_EQ(Values(coeffs), (Doubles{7, 8}));
}

TEST_F(MathProcessor, CustomFitRaisesTheEventWithFiveItemsOnOneSinkOnly) {
  Array coeffs({0.5, 0.5});
  EXPECT_EQ(Custom(0, 2, coeffs), VARIANT_FALSE);  // no sink connected
  LONG seenCount = 0, seenDerivs = 0;
  Connected([&](double x, IDoubleArray* c, IDoubleArray* d, HRESULT* hr) {
    c->get_Count(&seenCount);
    d->get_Count(&seenDerivs);
    return Line(x, c, d, hr);
  });
  EXPECT_EQ(cookie_, 1u);
  Connected(Line);
  EXPECT_EQ(cookie_, 0u);                   // CONNECT_E_ADVISELIMIT
  for (LONG method : {0, 1, 2, 256 + 1}) {  // only the low 8 bits count
    SCOPED_TRACE(method);
    coeffs.Set({0.5, 0.5});
    EXPECT_EQ(Custom(method, 2, coeffs), VARIANT_TRUE);
    EXPECT_NEAR(Values(coeffs)[0], 1, 1e-6);
    EXPECT_NEAR(Values(coeffs)[1], 2, 1e-6);
    EXPECT_EQ(numerics::GetFittingMethod(), method & 0xFF);  // later built-in fits use it
  }
  EXPECT_EQ(seenCount, 5);
  EXPECT_EQ(seenDerivs, 5);
}

TEST_F(MathProcessor, CustomFitRefusesBadArgumentsAndChangesNothing) {
  TSink& sink = Connected(Line);
  numerics::SetFittingMethod(numerics::kMethodBfgs);
  const struct {
    LONG method, count;
    Doubles coeffs, lo, hi;
  } cases[] = {
      {5, 2, {0.5, 0.5}, {-9, -9}, {9, 9}},    // no such method
      {255, 2, {0.5, 0.5}, {-9, -9}, {9, 9}},  // low byte 255
      {0, 0, {0.5, 0.5}, {-9, -9}, {9, 9}},    // no coefficient
      {0, -1, {0.5, 0.5}, {-9, -9}, {9, 9}},
      {0, 2, {0.5}, {-9, -9}, {9, 9}},  // Coeffs, MinCoeffs, MaxCoeffs too short
      {0, 2, {0.5, 0.5}, {-9}, {9, 9}},
      {0, 2, {0.5, 0.5}, {-9, -9}, {9}},
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

TEST_F(MathProcessor, HandlerThatResizesArraysCannotCorruptTheFit) {
  Array coeffs({0.5, 0.5});
  Connected([&](double x, IDoubleArray* c, IDoubleArray* d, HRESULT* hr) {
    const double y = Line(x, c, d, hr);
    c->put_Count(0);                                        // the object's own event arrays
    d->put_Count(1000);                                     // grown: storage moves
    static_cast<IDoubleArray*>(coeffs)->put_Count(100000);  // the client's, written at the end
    return y;
  });
  EXPECT_EQ(Custom(0, 2, coeffs), VARIANT_TRUE);
  EXPECT_NEAR(Values(coeffs)[0], 1, 1e-6);
  EXPECT_NEAR(Values(coeffs)[1], 2, 1e-6);
}

TEST_F(MathProcessor, FailingOrNaNHandlerFailsTheFit) {
  test::ReportCapture reports;
  Array coeffs({0.5, 0.5}), x({0, 1, 2, 3}), y({1, 3, 5, 7}), lo({-10, -10}), hi({10, 10});
  int calls = 0;
  Connected([&](double x, IDoubleArray* c, IDoubleArray* d, HRESULT* hr) {
    if (++calls == 30) *hr = E_ACCESSDENIED;
    return Line(x, c, d, hr);
  });
  VARIANT_BOOL ok = 1;
  EXPECT_EQ(math_->RegressionCustom(x, y, 0, 2, lo, hi, coeffs, &ok), E_ACCESSDENIED);
  EXPECT_EQ(ok, VARIANT_FALSE);
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
  EXPECT_EQ(Values(inner).size(), 2u);
  EXPECT_NEAR(Values(inner)[0], 4, 1e-6);
  EXPECT_NEAR(Values(inner)[1], -3, 1e-6);
}

}  // namespace
}  // namespace quellar::math
