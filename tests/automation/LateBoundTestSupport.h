#pragma once
// Late-bound calls for tests: builds DISPPARAMS the way automation clients do (arguments in
// reverse order, the new value of a property put as the named DISPID_PROPERTYPUT argument).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "automation/AutoObject.h"
#include "automation/Bstr.h"

namespace quellar::test {

inline VARIANT VEmpty() {
  VARIANT v;
  VariantInit(&v);
  return v;
}
// A variant of type vt whose value field (chosen by set) holds value.
template <class T, class Set>
VARIANT Make(VARTYPE vt, T value, Set set) {
  VARIANT v = VEmpty();
  V_VT(&v) = vt;
  set(v, value);
  return v;
}
inline VARIANT VI4(LONG x) {
  return Make(VT_I4, x, [](VARIANT& v, LONG y) { V_I4(&v) = y; });
}
inline VARIANT VI2(SHORT x) {
  return Make(VT_I2, x, [](VARIANT& v, SHORT y) { V_I2(&v) = y; });
}
inline VARIANT VUI1(BYTE x) {
  return Make(VT_UI1, x, [](VARIANT& v, BYTE y) { V_UI1(&v) = y; });
}
inline VARIANT VR4(float x) {
  return Make(VT_R4, x, [](VARIANT& v, float y) { V_R4(&v) = y; });
}
inline VARIANT VR8(double x) {
  return Make(VT_R8, x, [](VARIANT& v, double y) { V_R8(&v) = y; });
}
inline VARIANT VBool(bool x) {
  return Make(VT_BOOL, x,
              [](VARIANT& v, bool y) { V_BOOL(&v) = y ? VARIANT_TRUE : VARIANT_FALSE; });
}
// The BSTR stays owned by the caller's TBstr.
inline VARIANT VStr(const automation::TBstr& x) {
  return Make(VT_BSTR, x.get(), [](VARIANT& v, BSTR y) { V_BSTR(&v) = y; });
}
inline VARIANT VUnknown(IUnknown* x, VARTYPE vt = VT_DISPATCH) {
  return Make(vt, x, [](VARIANT& v, IUnknown* y) { V_UNKNOWN(&v) = y; });
}
// References, as script engines pass their variables.
inline VARIANT VRef(VARIANT* x) {
  return Make(VT_VARIANT | VT_BYREF, x, [](VARIANT& v, VARIANT* y) { V_VARIANTREF(&v) = y; });
}
inline VARIANT VRefR8(double* x) {
  return Make(VT_R8 | VT_BYREF, x, [](VARIANT& v, double* y) { V_R8REF(&v) = y; });
}
inline VARIANT VRefI4(LONG* x) {
  return Make(VT_I4 | VT_BYREF, x, [](VARIANT& v, LONG* y) { V_I4REF(&v) = y; });
}
inline VARIANT VMissing() {
  return Make(VT_ERROR, DISP_E_PARAMNOTFOUND, [](VARIANT& v, HRESULT y) { V_ERROR(&v) = y; });
}

// The outcome of one Invoke; frees what it received.
struct Outcome {
  HRESULT hr = S_OK;
  VARIANT result;
  EXCEPINFO excep;
  UINT argErr = ~0u;
  Outcome() {
    VariantInit(&result);
    std::memset(&excep, 0, sizeof excep);
  }
  ~Outcome() {
    VariantClear(&result);
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
  }
  Outcome(const Outcome&) = delete;
  Outcome& operator=(const Outcome&) = delete;
  std::string Description() const { return automation::FromBstr(excep.bstrDescription); }
  std::string Source() const { return automation::FromBstr(excep.bstrSource); }
};

// Arguments in natural order; for a put the last one is the new value.
inline void Invoke(Outcome& out, IDispatch* target, DISPID id, WORD flags,
                   std::vector<VARIANT> args) {
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPID putId = DISPID_PROPERTYPUT;
  DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr,
                    static_cast<UINT>(reversed.size()), 0};
  if ((flags & DISPATCH_PROPERTYPUT) && !reversed.empty()) {
    params.rgdispidNamedArgs = &putId;
    params.cNamedArgs = 1;
  }
  out.hr = target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, &out.result,
                          &out.excep, &out.argErr);
}

// The thread's error information, taken from it. refsLeft is what the last Release returned:
// 0 when nothing else holds the object.
struct TakenErrorInfo {
  bool present = false;
  std::string description, source;
  GUID guid{};
  ULONG refsLeft = 0;
};
inline TakenErrorInfo TakeErrorInfo() {
  TakenErrorInfo taken;
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || !info) return taken;
  taken.present = true;
  automation::TBstr description, source;
  info->GetDescription(description.out());
  info->GetSource(source.out());
  info->GetGUID(&taken.guid);
  taken.description = automation::FromBstr(description.get());
  taken.source = automation::FromBstr(source.get());
  taken.refsLeft = info->Release();
  return taken;
}

inline DISPID IdOf(IDispatch* target, const char* name, HRESULT* hr = nullptr) {
  automation::OleString wide = automation::ToOle(name);
  LPOLESTR names[] = {wide.data()};
  DISPID id = 12345;
  const HRESULT r = target->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (hr) *hr = r;
  return id;
}

constexpr WORD kGet = DISPATCH_METHOD | DISPATCH_PROPERTYGET;
constexpr WORD kPut = DISPATCH_PROPERTYPUT;

// Holds one COM reference.
template <class T>
class Ref {
 public:
  Ref() = default;
  explicit Ref(T* p) : p_(p) {}
  ~Ref() {
    if (p_) p_->Release();
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  T* operator->() const { return p_; }
  T* get() const { return p_; }
  T** out() {
    if (p_) p_->Release();
    p_ = nullptr;
    return &p_;
  }
  void** outVoid() { return reinterpret_cast<void**>(out()); }

 private:
  T* p_ = nullptr;
};

}  // namespace quellar::test
