// The math processor object: argument checks, the built-in regressions, the custom fit through
// the event, and what a misbehaving handler can and cannot do.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "MathSupport.h"
#include "numerics/regress.h"
#include "support/TestSupport.h"

namespace quellar::math {
namespace {

using test::Array;
using test::TSink;

class MathProcessor : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CreateMathProcessor(IID_IMathProcessor, reinterpret_cast<void**>(&math_)), S_OK);
    saved_ = numerics::GetFittingMethod();
  }
  void TearDown() override {
    math_->Release();
    numerics::SetFittingMethod(saved_);
  }
  // RegressionCustom with a line handler on points of y = 1 + 2x.
  VARIANT_BOOL Custom(LONG method, LONG count, Array& coeffs, Array& lo, Array& hi) {
    Array x({0, 1, 2, 3}), y({1, 3, 5, 7});
    VARIANT_BOOL ok = 1;
    EXPECT_EQ(math_->RegressionCustom(x, y, method, count, lo, hi, coeffs, &ok), S_OK);
    return ok;
  }

  // A sink connected to the object; it outlives the object, which holds it until released.
  TSink& Connected(TSink::Handler handler) {
    sinks_.push_back(std::make_unique<TSink>(std::move(handler)));
    cookie_ = test::Connect(math_, sinks_.back().get());
    return *sinks_.back();
  }

  std::vector<std::unique_ptr<TSink>> sinks_;
  IMathProcessor* math_ = nullptr;
  uint8_t saved_ = 0;
  DWORD cookie_ = 0;
};

TEST_F(MathProcessor, FourierMethodsCheckTheirArguments) {
  Array re({1, 2, 3}), im({0, 0, 0, 0}), outRe({9}), outIm({8}), empty, empty2;
  VARIANT_BOOL ok = 1;
  EXPECT_EQ(math_->FFT(re, im, outRe, outIm, &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_FALSE);
  // N = 0 is refused by all three, the outputs untouched.
  EXPECT_EQ(math_->FFT(empty, empty2, outRe, outIm, &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_FALSE);
  EXPECT_EQ(math_->FFTPower(empty, empty2, outRe, &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_FALSE);
  EXPECT_EQ(math_->FFTShift(empty, empty2, outRe, outIm, &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_FALSE);
  EXPECT_EQ(outRe.Values(), std::vector<double>{9});
  EXPECT_EQ(outIm.Values(), std::vector<double>{8});

  Array a({1, 2, 3, 4}), b({0, 0, 0, 0});
  ASSERT_EQ(math_->FFTShift(a, b, outRe, outIm, &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_TRUE);
  EXPECT_EQ(outRe.Values(), (std::vector<double>{3, 4, 1, 2}));
  Array impulse({1, 0, 0, 0}), zeros({0, 0, 0, 0}), power;
  ASSERT_EQ(math_->FFTPower(impulse, zeros, power, &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_TRUE);
  EXPECT_EQ(power.Values(), std::vector<double>(4, 0.25));
  EXPECT_EQ(impulse.Values(), std::vector<double>(4, 0.25));
  ASSERT_EQ(math_->FFT(a, b, a, b, &ok), S_OK);  // outputs may be the inputs
  EXPECT_EQ(a.Values(), (std::vector<double>{2.5, -0.5, -0.5, -0.5}));
}

TEST_F(MathProcessor, BuiltInRegressionsGiveTheirCoefficientsInOrder) {
  using Method =
      HRESULT (IMathProcessor::*)(IDoubleArray*, IDoubleArray*, IDoubleArray*, VARIANT_BOOL*);
  struct Case {
    const char* name;
    Method method;
    double (*f)(double);
    std::vector<double> want;
  } cases[] = {
      {"Linear", &IMathProcessor::RegressionLinear, [](double x) { return 1 + 2 * x; }, {1, 2}},
      {"Exp",
       &IMathProcessor::RegressionExp,
       [](double x) { return 5 * std::exp(-0.5 * x); },
       {5, 0.5}},
      {"ExpConst",
       &IMathProcessor::RegressionExpConst,
       [](double x) { return 2 + 5 * std::exp(-0.5 * x); },
       {2, 5, 0.5}},
      {"Power",
       &IMathProcessor::RegressionPower,
       [](double x) { return 3 * std::pow(x, 1.5); },
       {3, 1.5}},
      {"Hill",
       &IMathProcessor::RegressionHill,
       [](double x) { return 10 * x * x / (9 + x * x); },
       {10, 3, 2}},
  };
  std::vector<double> xs, ys;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    xs.clear(), ys.clear();
    for (int i = 1; i <= 40; ++i) xs.push_back(0.25 * i), ys.push_back(c.f(0.25 * i));
    Array x(xs), y(ys), coeffs({7, 7, 7, 7, 7});
    VARIANT_BOOL ok = 0;
    ASSERT_EQ((math_->*c.method)(x, y, coeffs, &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_TRUE);
    const std::vector<double> got = coeffs.Values();
    ASSERT_EQ(got.size(), c.want.size());
    for (size_t j = 0; j < got.size(); ++j) EXPECT_NEAR(c.want[j], got[j], 1e-6 * c.want[j]);
  }
  // A failed fit leaves Coeffs resized with its old items; unequal counts change nothing.
  Array x({1, 1, 1}), y({1, 3, 5}), coeffs({7, 8, 9}), shorter({1, 2});
  VARIANT_BOOL ok = 1;
  ASSERT_EQ(math_->RegressionLinear(x, y, coeffs, &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_FALSE);
  EXPECT_EQ(coeffs.Values(), (std::vector<double>{7, 8}));
  ASSERT_EQ(math_->RegressionHill(x, shorter, coeffs, &ok), S_OK);
  EXPECT_EQ(coeffs.Values(), (std::vector<double>{7, 8}));
}

TEST_F(MathProcessor, ExponentialIsTheSameInAnyUnits) {
  // The same decay with time in ms and in ns (y in V and mV): rates near 1e-6 per ns must be
  // refined as well as rates near 1 per ms.
  std::vector<double> ms, ns, volts, millivolts;
  numerics::TRandom noise({3, 7});
  for (int i = 1; i <= 200; ++i) {
    const double t = 0.05 * i, v = 5 * std::exp(-0.5 * t) + 0.01 * noise.Normal();
    ms.push_back(t), ns.push_back(t * 1e6), volts.push_back(v), millivolts.push_back(v * 1e3);
  }
  Array x1(ms), y1(volts), x2(ns), y2(millivolts), c1, c2;
  VARIANT_BOOL ok1 = 0, ok2 = 0;
  ASSERT_EQ(math_->RegressionExp(x1, y1, c1, &ok1), S_OK);
  ASSERT_EQ(math_->RegressionExp(x2, y2, c2, &ok2), S_OK);
  ASSERT_EQ(ok1, VARIANT_TRUE);
  ASSERT_EQ(ok2, VARIANT_TRUE);
  const auto a = c1.Values(), b = c2.Values();
  EXPECT_NEAR(b[0] / 1e3 / a[0], 1.0, 1e-6);
  EXPECT_NEAR(b[1] * 1e6 / a[1], 1.0, 1e-6);
}

TEST_F(MathProcessor, CustomFitRaisesTheEventWithFiveItems) {
  Array coeffs({0.5, 0.5}), lo({-10, -10}), hi({10, 10});
  EXPECT_EQ(Custom(0, 2, coeffs, lo, hi), VARIANT_FALSE);  // no sink connected

  LONG seenCount = 0, seenDerivs = 0;
  Connected([&](double x, IDoubleArray* c, IDoubleArray* d, HRESULT* hr) {
    c->get_Count(&seenCount);
    d->get_Count(&seenDerivs);
    return test::Line(x, c, d, hr);
  });
  for (LONG method : {0, 1, 2, 256 + 1}) {  // only the low 8 bits count
    SCOPED_TRACE(method);
    coeffs.Set({0.5, 0.5});
    EXPECT_EQ(Custom(method, 2, coeffs, lo, hi), VARIANT_TRUE);
    EXPECT_NEAR(coeffs.Values()[0], 1, 1e-6);
    EXPECT_NEAR(coeffs.Values()[1], 2, 1e-6);
    EXPECT_EQ(numerics::GetFittingMethod(), method & 0xFF);  // later built-in fits use it
  }
  EXPECT_EQ(seenCount, 5);
  EXPECT_EQ(seenDerivs, 5);
}

TEST_F(MathProcessor, CustomFitRefusesBadArgumentsAndChangesNothing) {
  TSink& sink = Connected(test::Line);
  numerics::SetFittingMethod(numerics::kMethodBfgs);
  struct Case {
    LONG method, count;
    std::vector<double> coeffs, lo, hi;
  } cases[] = {
      {5, 2, {0.5, 0.5}, {-9, -9}, {9, 9}},    // no such method
      {255, 2, {0.5, 0.5}, {-9, -9}, {9, 9}},  // low byte 255
      {0, 0, {0.5, 0.5}, {-9, -9}, {9, 9}},    // no coefficient
      {0, -1, {0.5, 0.5}, {-9, -9}, {9, 9}},
      {0, 2, {0.5}, {-9, -9}, {9, 9}},  // Coeffs, MinCoeffs, MaxCoeffs too short
      {0, 2, {0.5, 0.5}, {-9}, {9, 9}},
      {0, 2, {0.5, 0.5}, {-9, -9}, {9}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.method << " " << c.count);
    Array coeffs(c.coeffs), lo(c.lo), hi(c.hi);
    EXPECT_EQ(Custom(c.method, c.count, coeffs, lo, hi), VARIANT_FALSE);
    EXPECT_EQ(coeffs.Values(), c.coeffs);
  }
  EXPECT_EQ(sink.events, 0);
  EXPECT_EQ(numerics::GetFittingMethod(), numerics::kMethodBfgs);
}

TEST_F(MathProcessor, HandlerThatResizesArraysCannotCorruptTheFit) {
  Array coeffs({0.5, 0.5}), lo({-10, -10}), hi({10, 10});
  Connected([&](double x, IDoubleArray* c, IDoubleArray* d, HRESULT* hr) {
    const double y = test::Line(x, c, d, hr);
    c->put_Count(0);     // the object's own event arrays
    d->put_Count(1000);  // grown: storage moves
    IDoubleArray* mine = coeffs;
    mine->put_Count(100000);  // the client's Coeffs, which the fit writes at the end
    return y;
  });
  EXPECT_EQ(Custom(0, 2, coeffs, lo, hi), VARIANT_TRUE);
  const std::vector<double> got = coeffs.Values();
  EXPECT_NEAR(got[0], 1, 1e-6);
  EXPECT_NEAR(got[1], 2, 1e-6);
}

TEST_F(MathProcessor, FailingOrNaNHandlerFailsTheFit) {
  test::ReportCapture reports;
  Array coeffs({0.5, 0.5}), lo({-10, -10}), hi({10, 10});
  int calls = 0;
  Connected([&](double x, IDoubleArray* c, IDoubleArray* d, HRESULT* hr) {
    if (++calls == 30) *hr = E_ACCESSDENIED;
    return test::Line(x, c, d, hr);
  });
  Array x({0, 1, 2, 3}), y({1, 3, 5, 7});
  VARIANT_BOOL ok = 1;
  EXPECT_EQ(math_->RegressionCustom(x, y, 0, 2, lo, hi, coeffs, &ok), E_ACCESSDENIED);
  EXPECT_EQ(ok, VARIANT_FALSE);
  EXPECT_EQ(reports.Count(), 2u);  // EvaluateCustomModel, then RegressionCustom
  EXPECT_NE(coeffs.Values(), (std::vector<double>{0.5, 0.5}));  // the last iterate

  IConnectionPointContainer* container = nullptr;
  math_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
  IConnectionPoint* point = nullptr;
  container->FindConnectionPoint(DIID_IMathProcessorEvents, &point);
  EXPECT_EQ(point->Unadvise(cookie_), S_OK);
  point->Release();
  container->Release();
  Connected([](double, IDoubleArray*, IDoubleArray*, HRESULT*) { return std::nan(""); });
  for (LONG method : {0, 1, 2}) EXPECT_EQ(Custom(method, 2, coeffs, lo, hi), VARIANT_FALSE);
}

TEST_F(MathProcessor, FitInsideTheHandlerLeavesTheOuterFitAlone) {
  Array alone({0.5, 0.5}), outer({0.5, 0.5}), inner({0.5, 0.5}), lo({-10, -10}), hi({10, 10});
  bool nest = false;
  VARIANT_BOOL innerOk = 0;
  Connected([&](double x, IDoubleArray* c, IDoubleArray* d, HRESULT* hr) {
    if (nest) {
      nest = false;
      Array ix({0, 1, 2}), iy({4, 1, -2});  // y = 4 - 3x
      math_->RegressionCustom(ix, iy, 0, 2, lo, hi, inner, &innerOk);
    }
    return test::Line(x, c, d, hr);
  });
  ASSERT_EQ(Custom(0, 2, alone, lo, hi), VARIANT_TRUE);
  nest = true;
  ASSERT_EQ(Custom(0, 2, outer, lo, hi), VARIANT_TRUE);
  EXPECT_EQ(outer.Values(), alone.Values());
  EXPECT_EQ(innerOk, VARIANT_TRUE);
  EXPECT_NEAR(inner.Values()[0], 4, 1e-6);
  EXPECT_NEAR(inner.Values()[1], -3, 1e-6);
}

TEST_F(MathProcessor, SafeForScriptingAndOneSinkOnly) {
  IObjectSafety* safety = nullptr;
  ASSERT_EQ(math_->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety)), S_OK);
  DWORD supported = 0, enabled = 0;
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
  EXPECT_EQ(supported, 3u);
  EXPECT_EQ(enabled, 3u);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 3, 3), E_NOTIMPL);
  safety->Release();
  Connected(test::Line);
  EXPECT_EQ(cookie_, 1u);
  Connected(test::Line);
  EXPECT_EQ(cookie_, 0u);  // CONNECT_E_ADVISELIMIT
}

}  // namespace
}  // namespace quellar::math
