#pragma once
// Late-bound calls as automation clients make them.
#include <cstring>
#include <string>
#include <vector>

#include "automation/AutoObject.h"
#include "automation/Bstr.h"

namespace quellar::test {

inline constexpr auto VEmpty = [] { return VARIANT{}; };  // VT_EMPTY is 0
// A variant of type vt holding x; every value field of a VARIANT starts at the same place.
template <class T>
VARIANT Make(VARTYPE vt, T x) {
  static_assert(sizeof x <= sizeof(double));
  VARIANT v{};
  V_VT(&v) = vt;
  std::memcpy(&V_R8(&v), &x, sizeof x);
  return v;
}
inline constexpr auto VI4 = [](LONG x) { return Make(VT_I4, x); };
inline constexpr auto VR8 = [](double x) { return Make(VT_R8, x); };
inline constexpr auto VStr = [](const automation::TBstr& x) { return Make(VT_BSTR, x.get()); };
inline constexpr auto VUnknown = [](IUnknown* x, VARTYPE vt = VT_DISPATCH) { return Make(vt, x); };
inline constexpr auto VRef = [](VARIANT* x) { return Make(VT_VARIANT | VT_BYREF, x); };
inline constexpr auto VRefI4 = [](LONG* x) { return Make(VT_I4 | VT_BYREF, x); };
inline constexpr auto VMissing = [] { return Make(VT_ERROR, HRESULT{DISP_E_PARAMNOTFOUND}); };

struct Outcome {
  HRESULT hr = S_OK;
  VARIANT result = VEmpty();
  EXCEPINFO excep{};
  UINT argErr = ~0u;
  Outcome() = default;
  Outcome(const Outcome&) = delete;  // it owns what the call gave back
  Outcome& operator=(const Outcome&) = delete;
  ~Outcome() {
    VariantClear(&result);
    for (BSTR s : {excep.bstrSource, excep.bstrDescription, excep.bstrHelpFile}) SysFreeString(s);
  }
  std::string Description() const { return automation::FromBstr(excep.bstrDescription); }
  std::string Source() const { return automation::FromBstr(excep.bstrSource); }
};

// Arguments in natural order; for a put the last one is the new value.
inline void Invoke(Outcome& out, IDispatch* target, DISPID id, WORD flags,
                   std::vector<VARIANT> args) {
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPID putId = DISPID_PROPERTYPUT;
  const bool put = (flags & DISPATCH_PROPERTYPUT) && !reversed.empty();
  DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), put ? &putId : nullptr,
                    static_cast<UINT>(reversed.size()), put ? 1u : 0u};
  out.hr = target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, &out.result,
                          &out.excep, &out.argErr);
}

// The thread's error information, taken from it; refsLeft is 0 when nothing else holds it.
struct TakenErrorInfo {
  std::string text;  // "description from source"
  GUID guid{};
  ULONG refsLeft = 0;
};
inline TakenErrorInfo TakeErrorInfo() {
  TakenErrorInfo taken;
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || !info) return taken;
  automation::TBstr description, source;
  info->GetDescription(description.out());
  info->GetSource(source.out());
  info->GetGUID(&taken.guid);
  taken.text =
      automation::FromBstr(description.get()) + " from " + automation::FromBstr(source.get());
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

template <class T>
class Ref {
 public:
  Ref() = default;
  explicit Ref(T* p) : p_(p) {}
  ~Ref() { out(); }
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
