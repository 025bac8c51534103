#pragma once
// The device objects as a late-bound client sees them: a controller created by programmatic
// identifier, opened on a pseudo-terminal (as COM port 7) where a stand-in analyzer answers,
// and every member called by name through IDispatch::Invoke.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "AnalyzerStandIn.h"
#include "automation/Bstr.h"
#include "automation/LateBoundTestSupport.h"
#include "automation/Quellar.h"
#include "support/TestSupport.h"

namespace quellar::test {

using automation::FromBstr;
using automation::TBstr;

// Calls a member by name; args in natural order.
inline void Call(Outcome& out, IDispatch* target, const char* name, std::vector<VARIANT> args = {},
                 WORD flags = kGet) {
  HRESULT hr = S_OK;
  const DISPID id = IdOf(target, name, &hr);
  ASSERT_EQ(hr, S_OK) << name;
  Invoke(out, target, id, flags, std::move(args));
}
inline bool BoolResult(const Outcome& o) {
  return o.hr == S_OK && V_VT(&o.result) == VT_BOOL && V_BOOL(&o.result) == VARIANT_TRUE;
}
inline double DoubleResult(const Outcome& o) {
  return V_VT(&o.result) == VT_R8 ? V_R8(&o.result) : -1e300;
}

class ObjectsTest : public ::testing::Test {
 protected:
  static constexpr LONG kPort = 7;

  void SetUp() override {
    ASSERT_TRUE(pty.Ok());
    setenv("QUELLAR_COM7", pty.SlavePath().c_str(), 1);
    ASSERT_EQ(QuellarCreateObject("Quellar.Controller", &IID_IDispatch, controller.outVoid()),
              S_OK);
  }
  void TearDown() override { unsetenv("QUELLAR_COM7"); }

  bool Open(LONG port = kPort) {
    Outcome o;
    Call(o, controller.get(), "Open", {VI4(port)});
    return BoolResult(o);
  }
  // A child reached through the controller's property.
  void Child(Ref<IDispatch>& child, const char* name) {
    Outcome o;
    Call(o, controller.get(), name);
    ASSERT_EQ(o.hr, S_OK);
    ASSERT_EQ(V_VT(&o.result), VT_DISPATCH);
    V_DISPATCH(&o.result)->QueryInterface(IID_IDispatch, child.outVoid());
  }
  std::vector<double> Values(IDoubleArray* array) {
    LONG n = 0;
    array->get_Count(&n);
    std::vector<double> out(static_cast<size_t>(n));
    for (LONG i = 0; i < n; ++i) array->get_Item(i, &out[static_cast<size_t>(i)]);
    return out;
  }
  void NewDoubleArray(Ref<IDoubleArray>& array) {
    ASSERT_EQ(QuellarCreateObject("Quellar.DoubleArray", &IID_IDoubleArray, array.outVoid()), S_OK);
  }

  ReportCapture reports;
  PtyPair pty;
  AnalyzerStandIn analyzer{pty};
  Ref<IDispatch> controller;
};

}  // namespace quellar::test
