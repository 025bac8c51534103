// Late binding from the generated member tables: name lookup, argument mapping and conversion,
// the typed call through the interface, results, out parameters and exception information.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "automation/AutoObject.h"
#include "automation/Bstr.h"

namespace quellar::automation {

namespace {

constexpr size_t kMaxParams = 16;

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool OleEqualsNoCase(const OLECHAR* ole, const char* name) {
  size_t i = 0;
  for (; name[i]; ++i) {
    const uint32_t c = static_cast<uint16_t>(ole[i]);
    if (c == 0 || c > 0x7F || Lower(static_cast<char>(c)) != Lower(name[i])) return false;
  }
  return ole[i] == 0;
}

const MemberDesc* FindMemberOle(const InterfaceDesc& itf, const OLECHAR* name) {
  for (size_t i = 0; i < itf.memberCount; ++i)
    if (OleEqualsNoCase(name, itf.members[i].name)) return &itf.members[i];
  return nullptr;
}

// A numeric reading of an argument.
struct Number {
  bool isInteger = true;
  int64_t integer = 0;
  double real = 0;
  double AsDouble() const { return isInteger ? static_cast<double>(integer) : real; }
};

bool ParseNumber(std::string_view text, Number* out) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  int64_t i = 0;
  auto r = std::from_chars(text.data(), text.data() + text.size(), i);
  if (r.ec == std::errc() && r.ptr == text.data() + text.size()) {
    out->isInteger = true;
    out->integer = i;
    return true;
  }
  double d = 0;
  auto rd = std::from_chars(text.data(), text.data() + text.size(), d);
  if (rd.ec != std::errc() || rd.ptr != text.data() + text.size()) return false;
  out->isInteger = false;
  out->real = d;
  return true;
}

// Reads a scalar argument (already dereferenced) as a number.
HRESULT ReadNumber(const VARIANT& v, Number* n) {
  const VARTYPE vt = V_VT(&v);
  const bool byref = (vt & VT_BYREF) != 0;
  if (byref && !V_BYREF(&v)) return DISP_E_TYPEMISMATCH;
  switch (vt & ~VT_BYREF) {
    case VT_EMPTY:
      if (byref) return DISP_E_TYPEMISMATCH;
      n->integer = 0;
      return S_OK;
    case VT_I1:
      n->integer = byref ? *V_I1REF(&v) : V_I1(&v);
      return S_OK;
    case VT_I2:
      n->integer = byref ? *V_I2REF(&v) : V_I2(&v);
      return S_OK;
    case VT_I4:
      n->integer = byref ? *V_I4REF(&v) : V_I4(&v);
      return S_OK;
    case VT_INT:
      n->integer = byref ? *V_INTREF(&v) : V_INT(&v);
      return S_OK;
    case VT_I8:
      n->integer = byref ? *V_I8REF(&v) : V_I8(&v);
      return S_OK;
    case VT_UI1:
      n->integer = byref ? *V_UI1REF(&v) : V_UI1(&v);
      return S_OK;
    case VT_UI2:
      n->integer = byref ? *V_UI2REF(&v) : V_UI2(&v);
      return S_OK;
    case VT_UI4:
      n->integer = byref ? *V_UI4REF(&v) : V_UI4(&v);
      return S_OK;
    case VT_UINT:
      n->integer = byref ? *V_UINTREF(&v) : V_UINT(&v);
      return S_OK;
    case VT_UI8: {
      const uint64_t u = byref ? *V_UI8REF(&v) : V_UI8(&v);
      if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        n->isInteger = false;
        n->real = static_cast<double>(u);
      } else {
        n->integer = static_cast<int64_t>(u);
      }
      return S_OK;
    }
    case VT_BOOL:
      n->integer = (byref ? *V_BOOLREF(&v) : V_BOOL(&v)) ? -1 : 0;
      return S_OK;
    case VT_R4:
      n->isInteger = false;
      n->real = byref ? *V_R4REF(&v) : V_R4(&v);
      return S_OK;
    case VT_R8:
    case VT_DATE:
      n->isInteger = false;
      n->real = byref ? *V_R8REF(&v) : V_R8(&v);
      return S_OK;
    case VT_CY:
      n->isInteger = false;
      n->real = static_cast<double>((byref ? *V_CYREF(&v) : V_CY(&v)).int64) / 10000.0;
      return S_OK;
    case VT_BSTR: {
      const BSTR s = byref ? *V_BSTRREF(&v) : V_BSTR(&v);
      return ParseNumber(FromBstr(s), n) ? S_OK : DISP_E_TYPEMISMATCH;
    }
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

// Rounds to an integer the way automation conversions do (halves to even) within [lo, hi].
HRESULT ToInteger(const Number& n, int64_t lo, int64_t hi, int64_t* out) {
  int64_t value;
  if (n.isInteger) {
    value = n.integer;
  } else {
    if (!std::isfinite(n.real)) return DISP_E_OVERFLOW;
    const double r = std::nearbyint(n.real);
    if (r < static_cast<double>(lo) || r > static_cast<double>(hi)) return DISP_E_OVERFLOW;
    value = static_cast<int64_t>(r);
  }
  if (value < lo || value > hi) return DISP_E_OVERFLOW;
  *out = value;
  return S_OK;
}

std::string FormatNumber(const Number& n) {
  if (n.isInteger) return std::to_string(n.integer);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", n.real);
  return buf;
}

bool IsMissing(const VARIANT& v) {
  return V_VT(&v) == VT_ERROR && V_ERROR(&v) == DISP_E_PARAMNOTFOUND;
}

// What the conversion of one argument made (an interface reference, a string): released with
// the slot, whichever way the call ends.
class TArgSlot {
 public:
  TArgSlot() = default;
  ~TArgSlot() {
    if (object_) object_->Release();
    SysFreeString(text_);
  }
  TArgSlot(const TArgSlot&) = delete;
  TArgSlot& operator=(const TArgSlot&) = delete;
  void Hold(IUnknown* object) { object_ = object; }
  BSTR Hold(BSTR text) { return text_ = text; }
  // The caller's by-reference argument of an [out] parameter.
  VARIANT* outTarget = nullptr;

 private:
  IUnknown* object_ = nullptr;
  BSTR text_ = nullptr;
};

// The arguments of one call: the converted values side by side, as the typed call takes them,
// each with its slot.
class TArguments {
 public:
  explicit TArguments(size_t count) {
    for (size_t p = 0; p < count; ++p) VariantInit(&values_[p]);
  }
  VARIANT* Values() { return values_; }
  VARIANT& Value(size_t p) { return values_[p]; }
  TArgSlot& Slot(size_t p) { return slots_[p]; }

 private:
  VARIANT values_[kMaxParams];
  TArgSlot slots_[kMaxParams];
};

// Follows references to variants, as script engines pass their variables.
const VARIANT* Dereference(const VARIANT& arg) {
  const VARIANT* v = &arg;
  for (int depth = 0; V_VT(v) == (VT_VARIANT | VT_BYREF); ++depth) {
    if (!V_VARIANTREF(v) || depth > 8) return nullptr;
    v = V_VARIANTREF(v);
  }
  return v;
}

// An object argument as the exact interface the parameter names; nullptr stays absent.
HRESULT ConvertObject(const ParamDesc& param, const VARIANT& v, VARIANT& out, IUnknown** held) {
  const VARTYPE vt = V_VT(&v);
  IUnknown* unknown = nullptr;
  if (vt == VT_DISPATCH || vt == VT_UNKNOWN) {
    unknown = V_UNKNOWN(&v);
  } else if (vt == (VT_DISPATCH | VT_BYREF) || vt == (VT_UNKNOWN | VT_BYREF)) {
    if (!V_UNKNOWNREF(&v)) return DISP_E_TYPEMISMATCH;
    unknown = *V_UNKNOWNREF(&v);
  } else if (vt != VT_EMPTY) {
    return DISP_E_TYPEMISMATCH;
  }
  V_VT(&out) = VT_BYREF;
  V_BYREF(&out) = nullptr;
  if (!unknown) return S_OK;
  void* typed = nullptr;
  if (FAILED(unknown->QueryInterface(*param.iid, &typed)) || !typed) return DISP_E_TYPEMISMATCH;
  V_BYREF(&out) = typed;
  *held = static_cast<IUnknown*>(typed);
  return S_OK;
}

// A string argument is passed on as it is; other scalars become their text.
HRESULT ConvertString(const VARIANT& v, VARIANT& out, std::string& text, bool& made) {
  const VARTYPE vt = V_VT(&v);
  made = false;
  if (vt == VT_BSTR || vt == (VT_BSTR | VT_BYREF)) {
    if ((vt & VT_BYREF) && !V_BSTRREF(&v)) return DISP_E_TYPEMISMATCH;
    V_VT(&out) = VT_BSTR;
    V_BSTR(&out) = (vt & VT_BYREF) ? *V_BSTRREF(&v) : V_BSTR(&v);
    return S_OK;
  }
  if (vt != VT_EMPTY) {
    Number n;
    const bool isBool = (vt & ~VT_BYREF) == VT_BOOL;
    const HRESULT hr = ReadNumber(v, &n);
    if (FAILED(hr)) return isBool ? DISP_E_TYPEMISMATCH : hr;
    text = isBool ? (n.integer ? "True" : "False") : FormatNumber(n);
  }
  made = true;
  return S_OK;
}

// "True" and "False" in any case, numbers (non-zero is true) and every numeric type.
HRESULT ConvertBool(const VARIANT& v, VARIANT& out) {
  Number n;
  if ((V_VT(&v) & ~VT_BYREF) == VT_BSTR) {
    const BSTR s = (V_VT(&v) & VT_BYREF) ? (V_BSTRREF(&v) ? *V_BSTRREF(&v) : nullptr) : V_BSTR(&v);
    const std::string text = FromBstr(s);
    if (EqualsNoCase(text, "true"))
      n.integer = 1;
    else if (!EqualsNoCase(text, "false") && !ParseNumber(text, &n))
      return DISP_E_TYPEMISMATCH;
  } else {
    const HRESULT hr = ReadNumber(v, &n);
    if (FAILED(hr)) return hr;
  }
  V_VT(&out) = VT_BOOL;
  V_BOOL(&out) = (n.isInteger ? n.integer != 0 : n.real != 0) ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

// Numbers for double, long and unsigned char parameters; integers round halves to even.
HRESULT ConvertNumber(VARTYPE type, const VARIANT& v, VARIANT& out) {
  Number n;
  HRESULT hr = ReadNumber(v, &n);
  if (FAILED(hr)) return hr;
  int64_t value = 0;
  switch (type) {
    case VT_R8:
      V_VT(&out) = VT_R8;
      V_R8(&out) = n.AsDouble();
      return S_OK;
    case VT_I4:
      hr = ToInteger(n, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(),
                     &value);
      if (FAILED(hr)) return hr;
      V_VT(&out) = VT_I4;
      V_I4(&out) = static_cast<LONG>(value);
      return S_OK;
    default:  // VT_UI1
      hr = ToInteger(n, 0, 255, &value);
      if (FAILED(hr)) return hr;
      V_VT(&out) = VT_UI1;
      V_UI1(&out) = static_cast<BYTE>(value);
      return S_OK;
  }
}

// Converts the argument of in-parameter p into the parameter's type.
HRESULT Convert(const ParamDesc& param, const VARIANT& arg, TArguments& args, size_t p) {
  const VARIANT* v = Dereference(arg);
  if (!v) return DISP_E_TYPEMISMATCH;
  if (IsMissing(*v)) return DISP_E_PARAMNOTOPTIONAL;
  VARIANT& out = args.Value(p);
  switch (param.type) {
    case VT_VARIANT:
      out = *v;  // borrowed for the call
      return S_OK;
    case VT_DISPATCH: {
      IUnknown* held = nullptr;
      const HRESULT hr = ConvertObject(param, *v, out, &held);
      args.Slot(p).Hold(held);
      return hr;
    }
    case VT_BSTR: {
      std::string text;
      bool made = false;
      const HRESULT hr = ConvertString(*v, out, text, made);
      if (SUCCEEDED(hr) && made) {
        V_VT(&out) = VT_BSTR;
        V_BSTR(&out) = args.Slot(p).Hold(NewBstr(text));
      }
      return hr;
    }
    case VT_BOOL:
      return ConvertBool(*v, out);
    case VT_R8:
    case VT_I4:
    case VT_UI1:
      return ConvertNumber(param.type, *v, out);
    default:
      return DISP_E_BADVARTYPE;
  }
}

// An [out] parameter needs a by-reference argument of its type or of VARIANT.
HRESULT PrepareOut(const ParamDesc& param, VARIANT& arg, TArguments& args, size_t p) {
  const VARTYPE vt = V_VT(&arg);
  if (!(vt & VT_BYREF) || !V_BYREF(&arg)) return DISP_E_TYPEMISMATCH;
  if (vt != (VT_VARIANT | VT_BYREF) && vt != (param.type | VT_BYREF)) return DISP_E_TYPEMISMATCH;
  args.Slot(p).outTarget = &arg;
  V_VT(&args.Value(p)) = param.type == VT_VARIANT ? VARTYPE{VT_EMPTY} : param.type;
  return S_OK;
}

void WriteOut(const ParamDesc& param, VARIANT* target, VARIANT& value) {
  if (V_VT(target) == (VT_VARIANT | VT_BYREF)) {
    VARIANT* inner = V_VARIANTREF(target);
    VariantClear(inner);
    *inner = value;
    if (param.type == VT_DISPATCH) V_VT(inner) = VT_DISPATCH;
    VariantInit(&value);
    return;
  }
  switch (param.type) {
    case VT_I4:
      *V_I4REF(target) = V_I4(&value);
      break;
    case VT_R8:
      *V_R8REF(target) = V_R8(&value);
      break;
    case VT_BOOL:
      *V_BOOLREF(target) = V_BOOL(&value);
      break;
    case VT_UI1:
      *V_UI1REF(target) = V_UI1(&value);
      break;
    case VT_BSTR:
      SysFreeString(*V_BSTRREF(target));
      *V_BSTRREF(target) = V_BSTR(&value);
      V_BSTR(&value) = nullptr;
      break;
    case VT_DISPATCH:
      if (*V_DISPATCHREF(target)) (*V_DISPATCHREF(target))->Release();
      *V_DISPATCHREF(target) = V_DISPATCH(&value);
      V_DISPATCH(&value) = nullptr;
      break;
    default:
      break;
  }
}

// Frees a result that nobody takes.
void DiscardResult(VARTYPE type, VARIANT* value) {
  if (type == VT_BSTR) {
    SysFreeString(V_BSTR(value));
  } else if (type == VT_DISPATCH) {
    if (V_DISPATCH(value)) V_DISPATCH(value)->Release();
  } else if (type == VT_VARIANT) {
    VariantClear(value);
  }
}

const MemberDesc* SelectMember(const InterfaceDesc& itf, DISPID id, WORD flags) {
  const MemberDesc* method = nullptr;
  const MemberDesc* get = nullptr;
  const MemberDesc* put = nullptr;
  for (size_t i = 0; i < itf.memberCount; ++i) {
    const MemberDesc& m = itf.members[i];
    if (m.id != id) continue;
    if (m.kind == MemberKind::Method) method = &m;
    if (m.kind == MemberKind::PropertyGet) get = &m;
    if (m.kind == MemberKind::PropertyPut) put = &m;
  }
  if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) return put;
  if ((flags & DISPATCH_METHOD) && method) return method;
  if (flags & DISPATCH_PROPERTYGET) return get;
  // Some callers use the method flag alone to read a property.
  if (flags & DISPATCH_METHOD) return get;
  return nullptr;
}

// The shape of the call itself, before any member is looked at.
HRESULT CheckCall(const InterfaceDesc& itf, REFIID riid, WORD flags, const DISPPARAMS* params) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (!params) return E_INVALIDARG;
  if (params->cArgs > 0 && !params->rgvarg) return E_INVALIDARG;
  if (params->cNamedArgs > params->cArgs) return E_INVALIDARG;
  if (params->cNamedArgs > 0 && !params->rgdispidNamedArgs) return E_INVALIDARG;
  const WORD allFlags =
      DISPATCH_METHOD | DISPATCH_PROPERTYGET | DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF;
  if (flags == 0 || (flags & ~allFlags)) return E_INVALIDARG;
  if (!itf.invoke) return DISP_E_MEMBERNOTFOUND;
  return S_OK;
}

// Which caller argument (index into rgvarg) feeds each visible parameter; kNone for none.
constexpr UINT kNone = ~0u;
struct ArgumentMap {
  UINT from[kMaxParams];
  bool isPut;
  UINT named;
};

HRESULT MapArguments(const MemberDesc& member, const DISPPARAMS& params, ArgumentMap& map,
                     UINT* argErr) {
  const size_t visible = VisibleParamCount(member);
  for (auto& f : map.from) f = kNone;
  map.named = params.cNamedArgs;
  map.isPut = member.kind == MemberKind::PropertyPut;
  UINT firstPositional = map.named;
  if (map.isPut && map.named == 0) {
    // Tolerate callers that pass the new value as the last positional argument.
    if (params.cArgs == 0) return DISP_E_BADPARAMCOUNT;
    map.from[visible - 1] = 0;
    firstPositional = 1;
  }
  const UINT positionalCount = params.cArgs - firstPositional;
  const size_t positionalLimit = map.isPut ? visible - 1 : visible;
  if (positionalCount > positionalLimit) return DISP_E_BADPARAMCOUNT;
  // Positional arguments arrive in reverse order.
  for (UINT i = 0; i < positionalCount; ++i) map.from[i] = params.cArgs - 1 - i;
  for (UINT k = 0; k < map.named; ++k) {
    const DISPID d = params.rgdispidNamedArgs[k];
    size_t target;
    if (d == DISPID_PROPERTYPUT && map.isPut) {
      target = visible - 1;
    } else if (d >= 0 && static_cast<size_t>(d) < positionalLimit) {
      target = static_cast<size_t>(d);
    } else {
      if (argErr) *argErr = k;
      return DISP_E_PARAMNOTFOUND;
    }
    if (map.from[target] != kNone) {
      if (argErr) *argErr = k;
      return DISP_E_PARAMNOTFOUND;
    }
    map.from[target] = k;
  }
  return S_OK;
}

// Converts every in-parameter and prepares every out-parameter, in declaration order.
HRESULT ConvertArguments(const MemberDesc& member, const DISPPARAMS& params, const ArgumentMap& map,
                         TArguments& args, UINT* argErr) {
  size_t visibleIndex = 0;
  for (size_t p = 0; p < member.paramCount; ++p) {
    const ParamDesc& param = member.params[p];
    if (param.flags & kParamRetval) {
      V_VT(&args.Value(p)) = param.type == VT_VARIANT ? VARTYPE{VT_EMPTY} : param.type;
      continue;
    }
    const UINT from = map.from[visibleIndex++];
    if (from == kNone)
      return map.named > (map.isPut ? 1u : 0u) ? DISP_E_PARAMNOTOPTIONAL : DISP_E_BADPARAMCOUNT;
    VARIANT& arg = params.rgvarg[from];
    HRESULT hr;
    if (param.flags & kParamOut)
      hr = IsMissing(arg) ? DISP_E_PARAMNOTOPTIONAL : PrepareOut(param, arg, args, p);
    else
      hr = Convert(param, arg, args, p);
    if (FAILED(hr)) {
      if (argErr) *argErr = from;
      return hr;
    }
  }
  return S_OK;
}

// Hands the retval to the caller (or frees it) and writes the out-parameters.
void DeliverResults(const MemberDesc& member, TArguments& args, VARIANT* result) {
  if (result) VariantInit(result);
  for (size_t p = 0; p < member.paramCount; ++p) {
    const ParamDesc& param = member.params[p];
    VARIANT& value = args.Value(p);
    if (param.flags & kParamRetval) {
      if (!result) {
        DiscardResult(param.type, &value);
      } else {
        *result = value;
        if (param.type != VT_VARIANT) V_VT(result) = param.type;
      }
      VariantInit(&value);
    } else if (param.flags & kParamOut) {
      WriteOut(param, args.Slot(p).outTarget, value);
    }
  }
}

// Frees what a failed call may have left in its out-parameters.
void DiscardOuts(const MemberDesc& member, TArguments& args) {
  for (size_t p = 0; p < member.paramCount; ++p)
    if (member.params[p].flags & kParamOut) DiscardResult(member.params[p].type, &args.Value(p));
}

// The failure's description and source from the thread's error information, which stays there
// for clients that ask the thread.
void FillExcepInfo(const ErrorSource& source, HRESULT status, EXCEPINFO* excepInfo) {
  if (!excepInfo) return;
  std::memset(excepInfo, 0, sizeof *excepInfo);
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) == S_OK && info) {
    info->GetSource(&excepInfo->bstrSource);
    info->GetDescription(&excepInfo->bstrDescription);
    SetErrorInfo(0, info);
    info->Release();
  }
  if (!excepInfo->bstrSource && source.progId) excepInfo->bstrSource = NewBstr(source.progId);
  excepInfo->scode = status;
}

}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

size_t VisibleParamCount(const MemberDesc& member) {
  size_t n = 0;
  for (size_t i = 0; i < member.paramCount; ++i)
    if (!(member.params[i].flags & kParamRetval)) ++n;
  return n;
}

HRESULT DispatchGetIDsOfNames(const InterfaceDesc& itf, REFIID riid, LPOLESTR* names, UINT count,
                              DISPID* ids) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (!names || !ids || count == 0) return E_INVALIDARG;
  for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  const MemberDesc* member = names[0] ? FindMemberOle(itf, names[0]) : nullptr;
  if (!member) return DISP_E_UNKNOWNNAME;
  ids[0] = member->id;
  HRESULT hr = S_OK;
  // Further names are parameter names; their DISPIDs are the parameter positions.
  for (UINT i = 1; i < count; ++i) {
    bool found = false;
    for (size_t p = 0; names[i] && p < member->paramCount && !found; ++p) {
      if (!(member->params[p].flags & kParamRetval) &&
          OleEqualsNoCase(names[i], member->params[p].name)) {
        ids[i] = static_cast<DISPID>(p);
        found = true;
      }
    }
    if (!found) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

HRESULT DispatchInvoke(const InterfaceDesc& itf, const ErrorSource& source, IDispatch* self,
                       DISPID id, REFIID riid, WORD flags, DISPPARAMS* params, VARIANT* result,
                       EXCEPINFO* excepInfo, UINT* argErr) {
  HRESULT hr = CheckCall(itf, riid, flags, params);
  if (FAILED(hr)) return hr;
  const MemberDesc* member = SelectMember(itf, id, flags);
  if (!member) return DISP_E_MEMBERNOTFOUND;
  if (member->paramCount > kMaxParams) return DISP_E_BADPARAMCOUNT;
  ArgumentMap map;
  hr = MapArguments(*member, *params, map, argErr);
  if (FAILED(hr)) return hr;
  TArguments args(member->paramCount);
  hr = ConvertArguments(*member, *params, map, args, argErr);
  if (FAILED(hr)) return hr;
  const HRESULT status = itf.invoke(self, static_cast<size_t>(member - itf.members), args.Values());
  if (FAILED(status)) {
    DiscardOuts(*member, args);
    FillExcepInfo(source, status, excepInfo);
    return DISP_E_EXCEPTION;
  }
  DeliverResults(*member, args, result);
  return S_OK;
}

}  // namespace quellar::automation
