// Late binding of the parameter kinds the device objects use: automation strings in and out,
// interface results, interface arguments and variant results, through objects written here.
#include <gtest/gtest.h>

#include <string>

#include "arrays/PrtArray.h"
#include "arrays/PrtByteArray.h"
#include "automation/LateBoundTestSupport.h"

namespace quellar::automation {
namespace {

using test::Invoke;
using test::kGet;
using test::Outcome;
using test::Ref;

constexpr Tag kTagFakeSave = "{B62FFE9C-35E9-482C-81B6-A9F304512F44}";
constexpr Tag kTagFakeMarkers = "{F6312C5E-3F5E-41B3-A964-B7D7872898A8}";
constexpr Tag kTagFakeCompiler = "{3F15F55F-AED0-4535-99D9-171974802724}";

class TFakeCompiler final : public TAutoObject<ICompiler> {
 public:
  TFakeCompiler() : TAutoObject("Quellar.Compiler") {}
  std::string saved;
  HRESULT STDMETHODCALLTYPE get_TimeMarks(VARIANT* v) override {
    VariantInit(v);
    V_VT(v) = VT_ARRAY | VT_R8;
    V_ARRAY(v) = SafeArrayCreateVector(VT_R8, 0, 2);
    static_cast<double*>(V_ARRAY(v)->pvData)[1] = 300;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clear() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE AddImpulse(DOUBLE, LONG, DOUBLE) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE AddSilence(DOUBLE) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE AddReading(DOUBLE, DOUBLE) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Send(VARIANT_BOOL* ok) override {
    *ok = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SendIdle(VARIANT_BOOL* ok) override {
    *ok = VARIANT_FALSE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Save(BSTR name) override {
    return Call(kTagFakeSave, [&] { saved = FromBstr(name); });
  }
  HRESULT STDMETHODCALLTYPE Load(BSTR name, VARIANT_BOOL* ok) override {
    *ok = FromBstr(name) == saved ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetAllMarkers(IDoubleArray* values) override {
    return Call(kTagFakeMarkers, [&] {
      if (!values) return;
      values->put_Count(2);
      values->put_Item(1, 300);
    });
  }
  HRESULT STDMETHODCALLTYPE SaveToByteArray(IByteArray* program) override {
    if (program) program->put_Count(4);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE LoadFromByteArray(IByteArray* program, VARIANT_BOOL* ok) override {
    LONG n = 0;
    if (program) program->get_Count(&n);
    *ok = n > 0 ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
};

class TFakeController final : public TAutoObject<IController> {
 public:
  TFakeController() : TAutoObject("Quellar.Controller"), compiler_(new TFakeCompiler()) {}
  ~TFakeController() override { compiler_->Release(); }
  HRESULT STDMETHODCALLTYPE get_Compiler(ICompiler** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    return Call(kTagFakeCompiler, [&] {
      compiler_->AddRef();
      *out = compiler_;
    });
  }
  HRESULT STDMETHODCALLTYPE get_State(IState** out) override {
    *out = nullptr;
    return S_OK;  // an absent child reads as Nothing
  }
  HRESULT STDMETHODCALLTYPE get_Manager(IManager** out) override {
    *out = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_Analysis(IAnalysis** out) override {
    *out = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_Tuning(ITuning** out) override {
    *out = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_Active(VARIANT_BOOL* out) override {
    *out = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Open(LONG port, VARIANT_BOOL* ok) override {
    *ok = port == 3 ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Close() override { return S_OK; }

 private:
  TFakeCompiler* compiler_;
};

TEST(DispatchObjects, InterfaceResultsAndArguments) {
  const long before = server::ObjectCount();
  {
    Ref<IDispatch> controller(new TFakeController());
    Outcome compiler;
    Invoke(compiler, controller.get(), 1, kGet, {});
    ASSERT_EQ(compiler.hr, S_OK);
    ASSERT_EQ(V_VT(&compiler.result), VT_DISPATCH);
    IDispatch* child = V_DISPATCH(&compiler.result);
    ASSERT_NE(child, nullptr);

    Outcome state;
    Invoke(state, controller.get(), 2, kGet, {});
    EXPECT_EQ(state.hr, S_OK);
    EXPECT_EQ(V_VT(&state.result), VT_DISPATCH);
    EXPECT_EQ(V_DISPATCH(&state.result), nullptr);

    Outcome open;
    Invoke(open, controller.get(), 7, DISPATCH_METHOD, {test::VI2(3)});
    EXPECT_EQ(V_BOOL(&open.result), VARIANT_TRUE);

    // A result nobody asks for is released, not leaked.
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXPECT_EQ(controller->Invoke(1, IID_NULL, 0, kGet, &none, nullptr, nullptr, nullptr), S_OK);

    Ref<IDoubleArray> marks;
    ASSERT_EQ(arrays::CreateDoubleArray(IID_IDoubleArray, marks.outVoid()), S_OK);
    Outcome fill;
    Invoke(fill, child, 10, DISPATCH_METHOD, {test::VUnknown(marks.get())});
    ASSERT_EQ(fill.hr, S_OK);
    double mark = 0;
    marks->get_Item(1, &mark);
    EXPECT_EQ(mark, 300);
    Outcome absent;
    Invoke(absent, child, 10, DISPATCH_METHOD, {test::VEmpty()});
    EXPECT_EQ(absent.hr, S_OK);

    Ref<IByteArray> program;
    ASSERT_EQ(arrays::CreateByteArray(IID_IByteArray, program.outVoid()), S_OK);
    Outcome save, load;
    Invoke(save, child, 11, DISPATCH_METHOD, {test::VUnknown(program.get())});
    Invoke(load, child, 12, DISPATCH_METHOD, {test::VUnknown(program.get(), VT_UNKNOWN)});
    EXPECT_EQ(V_BOOL(&load.result), VARIANT_TRUE);
    Outcome wrongKind;
    Invoke(wrongKind, child, 11, DISPATCH_METHOD, {test::VUnknown(marks.get())});
    EXPECT_EQ(wrongKind.hr, DISP_E_TYPEMISMATCH);

    Outcome times;
    Invoke(times, child, 1, kGet, {});
    ASSERT_EQ(V_VT(&times.result), VT_ARRAY | VT_R8);
    EXPECT_EQ(static_cast<double*>(V_ARRAY(&times.result)->pvData)[1], 300);
  }
  EXPECT_EQ(server::ObjectCount(), before);
}

TEST(DispatchObjects, StringArguments) {
  Ref<IDispatch> compiler(new TFakeCompiler());
  TBstr name("C:\\programs\\\xD0\xA2\xD0\xB5\xD1\x81\xD1\x82.bin");  // a Cyrillic file name
  Outcome save;
  Invoke(save, compiler.get(), 8, DISPATCH_METHOD, {test::VStr(name)});
  ASSERT_EQ(save.hr, S_OK);
  Outcome load;
  VARIANT byRef = test::VStr(name);
  Invoke(load, compiler.get(), 9, DISPATCH_METHOD, {test::VRef(&byRef)});
  EXPECT_EQ(V_BOOL(&load.result), VARIANT_TRUE);
  // Numbers given for a text parameter arrive as their text.
  Outcome number;
  Invoke(number, compiler.get(), 8, DISPATCH_METHOD, {test::VR8(2.5)});
  ASSERT_EQ(number.hr, S_OK);
  TBstr expected("2.5");
  Outcome check;
  Invoke(check, compiler.get(), 9, DISPATCH_METHOD, {test::VStr(expected)});
  EXPECT_EQ(V_BOOL(&check.result), VARIANT_TRUE);
  Outcome object;
  Invoke(object, compiler.get(), 8, DISPATCH_METHOD, {test::VUnknown(compiler.get())});
  EXPECT_EQ(object.hr, DISP_E_TYPEMISMATCH);
}

}  // namespace
}  // namespace quellar::automation
