// A C++ client of Quellar.MathProcessor through the real OLE runtime (run under Wine by
// scripts/stage-wine.sh after registration): creates the objects through the registry,
// connects an event sink through IConnectionPointContainer and IConnectionPoint, and fits a
// custom model (a line) through GetExpressionValue, called on the vtable of IMathProcessor.
#include <windows.h>
// windows.h comes first
#include <objbase.h>
#include <ocidl.h>
#include <oleauto.h>

#include <cmath>
#include <cstdio>
#include <string>

namespace {

int failures = 0;
void Check(bool condition, const std::string& what) {
  if (!condition) {
    ++failures;
    std::printf("FAIL %s\n", what.c_str());
  }
}

// The interfaces as the type library lays them out (Quellar.idl).
const IID kIDoubleArray = {
    0x4BF30E9A, 0xF081, 0x4DB8, {0xB9, 0x13, 0x33, 0x45, 0x62, 0x96, 0x1B, 0xF8}};
const IID kIMathProcessor = {
    0xE16F9C8B, 0xD50E, 0x433C, {0x91, 0xD3, 0xDE, 0x12, 0x47, 0x41, 0xF0, 0x04}};
const IID kIMathProcessorEvents = {
    0xCD9274D1, 0xA726, 0x4E4F, {0x82, 0x17, 0xAF, 0x2F, 0xBA, 0x07, 0x4D, 0x29}};

struct IDoubleArray : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_Item(LONG Ind, double* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Item(LONG Ind, double Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Count(LONG* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Count(LONG Value) = 0;
};
using A = IDoubleArray*;
struct IMathProcessor : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE FFT(A, A, A, A, VARIANT_BOOL*) = 0;
  virtual HRESULT STDMETHODCALLTYPE FFTPower(A, A, A, VARIANT_BOOL*) = 0;
  virtual HRESULT STDMETHODCALLTYPE FFTShift(A, A, A, A, VARIANT_BOOL*) = 0;
  virtual HRESULT STDMETHODCALLTYPE RegressionExp(A, A, A, VARIANT_BOOL*) = 0;
  virtual HRESULT STDMETHODCALLTYPE RegressionExpConst(A, A, A, VARIANT_BOOL*) = 0;
  virtual HRESULT STDMETHODCALLTYPE RegressionLinear(A, A, A, VARIANT_BOOL*) = 0;
  virtual HRESULT STDMETHODCALLTYPE RegressionPower(A, A, A, VARIANT_BOOL*) = 0;
  virtual HRESULT STDMETHODCALLTYPE RegressionHill(A, A, A, VARIANT_BOOL*) = 0;
  virtual HRESULT STDMETHODCALLTYPE RegressionCustom(A, A, LONG, LONG, A, A, A, VARIANT_BOOL*) = 0;
};

template <class I>
I* Create(const wchar_t* progId, const IID& iid) {
  CLSID clsid{};
  I* object = nullptr;
  if (SUCCEEDED(CLSIDFromProgID(progId, &clsid)))
    CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, reinterpret_cast<void**>(&object));
  return object;
}

IDoubleArray* Array(std::initializer_list<double> values) {
  IDoubleArray* a = Create<IDoubleArray>(L"Quellar.DoubleArray", kIDoubleArray);
  if (!a) return nullptr;
  a->put_Count(static_cast<LONG>(values.size()));
  LONG i = 0;
  for (double v : values) a->put_Item(i++, v);
  return a;
}

// The client's sink: y = c0 + c1 x, its derivatives written into Derivs.
class Sink : public IDispatch {
 public:
  long events = 0;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IDispatch && riid != kIMathProcessorEvents)
      return E_NOINTERFACE;
    *ppv = this;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs_; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO*, UINT*) override {
    ++events;
    if (id != 1 || !(flags & DISPATCH_METHOD) || params->cArgs != 3 || !result ||
        V_VT(&params->rgvarg[2]) != VT_R8 || V_VT(&params->rgvarg[1]) != VT_DISPATCH ||
        V_VT(&params->rgvarg[0]) != VT_DISPATCH)
      return DISP_E_BADPARAMCOUNT;
    const double x = V_R8(&params->rgvarg[2]);
    IDoubleArray *c = nullptr, *d = nullptr;
    V_DISPATCH(&params->rgvarg[1])->QueryInterface(kIDoubleArray, reinterpret_cast<void**>(&c));
    V_DISPATCH(&params->rgvarg[0])->QueryInterface(kIDoubleArray, reinterpret_cast<void**>(&d));
    if (!c || !d) return E_NOINTERFACE;
    double a = 0, b = 0;
    LONG count = 0;
    c->get_Count(&count);
    seenCount_ = count;
    c->get_Item(0, &a);
    c->get_Item(1, &b);
    d->put_Item(0, 1.0);
    d->put_Item(1, x);
    c->Release();
    d->Release();
    VariantInit(result);
    V_VT(result) = VT_R8;
    V_R8(result) = a + b * x;
    return S_OK;
  }
  LONG SeenCount() const { return seenCount_; }

 private:
  ULONG refs_ = 1;
  LONG seenCount_ = 0;
};

}  // namespace

int main() {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  {
    IMathProcessor* math = Create<IMathProcessor>(L"Quellar.MathProcessor", kIMathProcessor);
    Check(math != nullptr, "CoCreateInstance Quellar.MathProcessor");
    if (!math) return 1;
    IConnectionPointContainer* container = nullptr;
    HRESULT hr =
        math->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
    Check(hr == S_OK && container, "IConnectionPointContainer");
    IConnectionPoint* point = nullptr;
    if (container) hr = container->FindConnectionPoint(kIMathProcessorEvents, &point);
    Check(hr == S_OK && point, "FindConnectionPoint");
    Sink sink;
    DWORD cookie = 0;
    if (point) hr = point->Advise(&sink, &cookie);
    Check(hr == S_OK && cookie != 0, "Advise");

    IDoubleArray *x = Array({0, 1, 2, 3}), *y = Array({1, 3, 5, 7}), *c = Array({0.5, 0.5});
    IDoubleArray *lo = Array({-10, -10}), *hi = Array({10, 10});
    VARIANT_BOOL ok = VARIANT_FALSE;
    hr = math->RegressionCustom(x, y, 0, 2, lo, hi, c, &ok);
    double a = 0, b = 0;
    c->get_Item(0, &a);
    c->get_Item(1, &b);
    Check(hr == S_OK && ok == VARIANT_TRUE, "RegressionCustom succeeds");
    Check(std::fabs(a - 1) < 1e-6 && std::fabs(b - 2) < 1e-6,
          "coefficients " + std::to_string(a) + " " + std::to_string(b));
    Check(sink.events > 0 && sink.SeenCount() == 5, "events with five coefficients");
    std::printf("    custom fit: %ld events, c = (%.9g, %.9g)\n", sink.events, a, b);

    if (point) Check(point->Unadvise(cookie) == S_OK, "Unadvise");
    const long events = sink.events;
    c->put_Item(0, 0.5);
    hr = math->RegressionCustom(x, y, 0, 2, lo, hi, c, &ok);
    Check(hr == S_OK && ok == VARIANT_FALSE && sink.events == events, "no sink, no fit");
    for (IUnknown* u :
         {static_cast<IUnknown*>(x), static_cast<IUnknown*>(y), static_cast<IUnknown*>(c),
          static_cast<IUnknown*>(lo), static_cast<IUnknown*>(hi)})
      u->Release();
    if (point) point->Release();
    if (container) container->Release();
    math->Release();
  }
  CoUninitialize();
  std::printf(failures ? "%d failure(s)\n" : "PASS math_probe\n", failures);
  return failures ? 1 : 0;
}
