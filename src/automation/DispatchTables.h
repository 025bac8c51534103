#pragma once
// The late-binding description of the type library, generated from Quellar.idl into
// QuellarTables.cpp: every interface with its members, dispatch identifiers, parameters and
// typed call thunks, every class and enumeration.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "automation/com/ComBase.h"

namespace quellar::automation {

enum ParamFlag : uint8_t { kParamIn = 1, kParamOut = 2, kParamRetval = 4 };

// type: VT_I4, VT_R8, VT_BOOL, VT_BSTR, VT_UI1, VT_VARIANT, or VT_DISPATCH with iid set.
struct ParamDesc {
  const char* name;
  VARTYPE type;
  const IID* iid;
  uint8_t flags;
};

enum class MemberKind : uint8_t { Method, PropertyGet, PropertyPut };

struct MemberDesc {
  const char* name;
  DISPID id;
  MemberKind kind;
  int slot;  // virtual-table slot (after the seven of IDispatch); -1 for dispinterfaces
  const ParamDesc* params;
  size_t paramCount;
  const char* help;
};

// Calls member `member` of the interface on `self` with arguments already converted to the
// parameters' types in args[0..paramCount-1]; out and retval slots receive the results.
// Interface parameters travel in V_BYREF as the exact interface pointer.
using InvokeThunk = HRESULT (*)(IDispatch* self, size_t member, VARIANT* args);

struct InterfaceDesc {
  const char* name;
  const IID* iid;
  const char* help;
  bool dispinterface;
  const MemberDesc* members;
  size_t memberCount;
  InvokeThunk invoke;  // null for dispinterfaces
};

struct ClassDesc {
  const char* name;
  const CLSID* clsid;
  const char* help;
  const InterfaceDesc* defaultInterface;
  const InterfaceDesc* sourceInterface;  // null when the class raises no events
};

struct EnumMemberDesc {
  const char* name;
  int32_t value;
};

struct EnumDesc {
  const char* name;
  const EnumMemberDesc* members;
  size_t memberCount;
};

struct LibraryDesc {
  const char* name;
  const GUID* libid;
  const char* help;
  unsigned short major;
  unsigned short minor;
  unsigned long lcid;
  const InterfaceDesc* const* interfaces;
  size_t interfaceCount;
  const ClassDesc* const* classes;
  size_t classCount;
  const EnumDesc* enums;
  size_t enumCount;
};

// Number of parameters a late-bound caller passes (all but the retval).
size_t VisibleParamCount(const MemberDesc& member);

bool EqualsNoCase(std::string_view a, std::string_view b);

}  // namespace quellar::automation
