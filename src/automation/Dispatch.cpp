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

// One converted argument and what must be released after the call.
struct Slot {
  VARIANT* value = nullptr;
  IUnknown* heldInterface = nullptr;
  BSTR heldString = nullptr;
  VARIANT* outTarget = nullptr;  // the caller's by-reference argument of an [out] parameter
};

HRESULT Convert(const ParamDesc& param, const VARIANT& arg, Slot* slot) {
  const VARIANT* v = &arg;
  for (int depth = 0; V_VT(v) == (VT_VARIANT | VT_BYREF); ++depth) {
    if (!V_VARIANTREF(v) || depth > 8) return DISP_E_TYPEMISMATCH;
    v = V_VARIANTREF(v);
  }
  if (IsMissing(*v)) return DISP_E_PARAMNOTOPTIONAL;
  VARIANT& out = *slot->value;
  switch (param.type) {
    case VT_VARIANT:
      out = *v;  // borrowed for the call
      return S_OK;
    case VT_DISPATCH: {
      const VARTYPE vt = V_VT(v);
      IUnknown* unknown = nullptr;
      if (vt == VT_EMPTY) {
        unknown = nullptr;
      } else if (vt == VT_DISPATCH || vt == VT_UNKNOWN) {
        unknown = V_UNKNOWN(v);
      } else if (vt == (VT_DISPATCH | VT_BYREF) || vt == (VT_UNKNOWN | VT_BYREF)) {
        if (!V_UNKNOWNREF(v)) return DISP_E_TYPEMISMATCH;
        unknown = *V_UNKNOWNREF(v);
      } else {
        return DISP_E_TYPEMISMATCH;
      }
      V_VT(&out) = VT_BYREF;
      V_BYREF(&out) = nullptr;
      if (!unknown) return S_OK;  // an absent object
      void* typed = nullptr;
      if (FAILED(unknown->QueryInterface(*param.iid, &typed)) || !typed) return DISP_E_TYPEMISMATCH;
      V_BYREF(&out) = typed;
      slot->heldInterface = static_cast<IUnknown*>(typed);
      return S_OK;
    }
    case VT_BSTR: {
      const VARTYPE vt = V_VT(v);
      if (vt == VT_BSTR) {
        V_VT(&out) = VT_BSTR;
        V_BSTR(&out) = V_BSTR(v);
        return S_OK;
      }
      if (vt == (VT_BSTR | VT_BYREF)) {
        if (!V_BSTRREF(v)) return DISP_E_TYPEMISMATCH;
        V_VT(&out) = VT_BSTR;
        V_BSTR(&out) = *V_BSTRREF(v);
        return S_OK;
      }
      std::string text;
      if ((vt & ~VT_BYREF) == VT_BOOL) {
        Number n;
        if (FAILED(ReadNumber(*v, &n))) return DISP_E_TYPEMISMATCH;
        text = n.integer ? "True" : "False";
      } else if (vt != VT_EMPTY) {
        Number n;
        const HRESULT hr = ReadNumber(*v, &n);
        if (FAILED(hr)) return hr;
        text = FormatNumber(n);
      }
      slot->heldString = NewBstr(text);
      V_VT(&out) = VT_BSTR;
      V_BSTR(&out) = slot->heldString;
      return S_OK;
    }
    case VT_BOOL: {
      const VARTYPE vt = V_VT(v) & ~VT_BYREF;
      Number n;
      if (vt == VT_BSTR) {
        const BSTR s = (V_VT(v) & VT_BYREF) ? (V_BSTRREF(v) ? *V_BSTRREF(v) : nullptr) : V_BSTR(v);
        const std::string text = FromBstr(s);
        if (EqualsNoCase(text, "true")) {
          n.integer = 1;
        } else if (EqualsNoCase(text, "false")) {
          n.integer = 0;
        } else if (!ParseNumber(text, &n)) {
          return DISP_E_TYPEMISMATCH;
        }
      } else {
        const HRESULT hr = ReadNumber(*v, &n);
        if (FAILED(hr)) return hr;
      }
      V_VT(&out) = VT_BOOL;
      V_BOOL(&out) = (n.isInteger ? n.integer != 0 : n.real != 0) ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    }
    case VT_R8: {
      Number n;
      const HRESULT hr = ReadNumber(*v, &n);
      if (FAILED(hr)) return hr;
      V_VT(&out) = VT_R8;
      V_R8(&out) = n.AsDouble();
      return S_OK;
    }
    case VT_I4:
    case VT_UI1: {
      Number n;
      HRESULT hr = ReadNumber(*v, &n);
      if (FAILED(hr)) return hr;
      int64_t value = 0;
      if (param.type == VT_I4) {
        hr = ToInteger(n, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(),
                       &value);
        if (FAILED(hr)) return hr;
        V_VT(&out) = VT_I4;
        V_I4(&out) = static_cast<LONG>(value);
      } else {
        hr = ToInteger(n, 0, 255, &value);
        if (FAILED(hr)) return hr;
        V_VT(&out) = VT_UI1;
        V_UI1(&out) = static_cast<BYTE>(value);
      }
      return S_OK;
    }
    default:
      return DISP_E_BADVARTYPE;
  }
}

// An [out] parameter needs a by-reference argument of its type or of VARIANT.
HRESULT PrepareOut(const ParamDesc& param, VARIANT& arg, Slot* slot) {
  const VARTYPE vt = V_VT(&arg);
  if (!(vt & VT_BYREF) || !V_BYREF(&arg)) return DISP_E_TYPEMISMATCH;
  if (vt != (VT_VARIANT | VT_BYREF) && vt != (param.type | VT_BYREF)) return DISP_E_TYPEMISMATCH;
  slot->outTarget = &arg;
  V_VT(slot->value) = param.type == VT_VARIANT ? VARTYPE{VT_EMPTY} : param.type;
  return S_OK;
}

void WriteOut(const ParamDesc& param, Slot* slot) {
  VARIANT* target = slot->outTarget;
  VARIANT& value = *slot->value;
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

const MemberDesc* SelectMember(const InterfaceDesc& itf, DISPID id, WORD flags, bool* known) {
  const MemberDesc* method = nullptr;
  const MemberDesc* get = nullptr;
  const MemberDesc* put = nullptr;
  *known = false;
  for (size_t i = 0; i < itf.memberCount; ++i) {
    const MemberDesc& m = itf.members[i];
    if (m.id != id) continue;
    *known = true;
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

}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

const InterfaceDesc* FindInterface(REFIID iid) {
  for (size_t i = 0; i < kQuellarLibrary.interfaceCount; ++i)
    if (*kQuellarLibrary.interfaces[i]->iid == iid) return kQuellarLibrary.interfaces[i];
  return nullptr;
}

const InterfaceDesc* FindInterface(std::string_view name) {
  for (size_t i = 0; i < kQuellarLibrary.interfaceCount; ++i)
    if (EqualsNoCase(kQuellarLibrary.interfaces[i]->name, name))
      return kQuellarLibrary.interfaces[i];
  return nullptr;
}

const ClassDesc* FindClass(REFCLSID clsid) {
  for (size_t i = 0; i < kQuellarLibrary.classCount; ++i)
    if (*kQuellarLibrary.classes[i]->clsid == clsid) return kQuellarLibrary.classes[i];
  return nullptr;
}

const ClassDesc* FindClass(std::string_view name) {
  for (size_t i = 0; i < kQuellarLibrary.classCount; ++i)
    if (EqualsNoCase(kQuellarLibrary.classes[i]->name, name)) return kQuellarLibrary.classes[i];
  return nullptr;
}

const MemberDesc* FindMember(const InterfaceDesc& itf, std::string_view name) {
  for (size_t i = 0; i < itf.memberCount; ++i)
    if (EqualsNoCase(itf.members[i].name, name)) return &itf.members[i];
  return nullptr;
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
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (!params) return E_INVALIDARG;
  if (params->cArgs > 0 && !params->rgvarg) return E_INVALIDARG;
  if (params->cNamedArgs > params->cArgs) return E_INVALIDARG;
  if (params->cNamedArgs > 0 && !params->rgdispidNamedArgs) return E_INVALIDARG;
  const WORD allFlags =
      DISPATCH_METHOD | DISPATCH_PROPERTYGET | DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF;
  if (flags == 0 || (flags & ~allFlags)) return E_INVALIDARG;
  if (!itf.invoke) return DISP_E_MEMBERNOTFOUND;

  bool known = false;
  const MemberDesc* member = SelectMember(itf, id, flags, &known);
  if (!member) return DISP_E_MEMBERNOTFOUND;
  if (member->paramCount > kMaxParams) return DISP_E_BADPARAMCOUNT;

  // Which caller argument (index into rgvarg) feeds each parameter.
  const size_t visible = VisibleParamCount(*member);
  constexpr UINT kNone = ~0u;
  UINT source_[kMaxParams];
  for (auto& s : source_) s = kNone;
  const UINT named = params->cNamedArgs;
  const bool isPut = member->kind == MemberKind::PropertyPut;
  UINT firstPositional = named;
  if (isPut && named == 0) {
    // Tolerate callers that pass the new value as the last positional argument.
    if (params->cArgs == 0) return DISP_E_BADPARAMCOUNT;
    source_[visible - 1] = 0;
    firstPositional = 1;
  }
  const UINT positionalCount = params->cArgs - firstPositional;
  const size_t positionalLimit = isPut ? visible - 1 : visible;
  if (positionalCount > positionalLimit) return DISP_E_BADPARAMCOUNT;
  for (UINT i = 0; i < positionalCount; ++i) source_[i] = params->cArgs - 1 - i;
  for (UINT k = 0; k < named; ++k) {
    const DISPID d = params->rgdispidNamedArgs[k];
    size_t target;
    if (d == DISPID_PROPERTYPUT && isPut) {
      target = visible - 1;
    } else if (d >= 0 && static_cast<size_t>(d) < positionalLimit) {
      target = static_cast<size_t>(d);
    } else {
      if (argErr) *argErr = k;
      return DISP_E_PARAMNOTFOUND;
    }
    if (source_[target] != kNone) {
      if (argErr) *argErr = k;
      return DISP_E_PARAMNOTFOUND;
    }
    source_[target] = k;
  }

  VARIANT values[kMaxParams];
  Slot slots[kMaxParams];
  for (size_t p = 0; p < member->paramCount; ++p) {
    VariantInit(&values[p]);
    slots[p].value = &values[p];
  }
  size_t visibleIndex = 0;
  HRESULT hr = S_OK;
  try {
    for (size_t p = 0; p < member->paramCount && SUCCEEDED(hr); ++p) {
      const ParamDesc& param = member->params[p];
      if (param.flags & kParamRetval) {
        V_VT(&values[p]) = param.type == VT_VARIANT ? VARTYPE{VT_EMPTY} : param.type;
        continue;
      }
      const UINT from = source_[visibleIndex++];
      if (from == kNone) {
        hr = named > (isPut ? 1u : 0u) ? DISP_E_PARAMNOTOPTIONAL : DISP_E_BADPARAMCOUNT;
        break;
      }
      VARIANT& arg = params->rgvarg[from];
      if (param.flags & kParamOut) {
        hr = IsMissing(arg) ? DISP_E_PARAMNOTOPTIONAL : PrepareOut(param, arg, &slots[p]);
      } else {
        hr = Convert(param, arg, &slots[p]);
      }
      if (FAILED(hr) && argErr) *argErr = from;
    }

    if (SUCCEEDED(hr)) {
      const HRESULT status = itf.invoke(self, static_cast<size_t>(member - itf.members), values);
      if (SUCCEEDED(status)) {
        if (result) VariantInit(result);
        for (size_t p = 0; p < member->paramCount; ++p) {
          const ParamDesc& param = member->params[p];
          if (param.flags & kParamRetval) {
            if (!result) {
              DiscardResult(param.type, &values[p]);
            } else if (param.type == VT_VARIANT) {
              *result = values[p];
            } else {
              *result = values[p];
              V_VT(result) = param.type;
            }
            VariantInit(&values[p]);
          } else if (param.flags & kParamOut) {
            WriteOut(param, &slots[p]);
          }
        }
      } else {
        for (size_t p = 0; p < member->paramCount; ++p)
          if (member->params[p].flags & kParamOut)
            DiscardResult(member->params[p].type, &values[p]);
        if (excepInfo) {
          std::memset(excepInfo, 0, sizeof *excepInfo);
          IErrorInfo* info = nullptr;
          if (GetErrorInfo(0, &info) == S_OK && info) {
            info->GetSource(&excepInfo->bstrSource);
            info->GetDescription(&excepInfo->bstrDescription);
            SetErrorInfo(0, info);  // still there for clients that ask the thread
            info->Release();
          }
          if (!excepInfo->bstrSource && source.progId)
            excepInfo->bstrSource = NewBstr(source.progId);
          excepInfo->scode = status;
        }
        hr = DISP_E_EXCEPTION;
      }
    }
  } catch (...) {
    for (size_t p = 0; p < member->paramCount; ++p) {
      if (slots[p].heldInterface) slots[p].heldInterface->Release();
      SysFreeString(slots[p].heldString);
    }
    throw;
  }
  for (size_t p = 0; p < member->paramCount; ++p) {
    if (slots[p].heldInterface) slots[p].heldInterface->Release();
    SysFreeString(slots[p].heldString);
  }
  return hr;
}

}  // namespace quellar::automation
