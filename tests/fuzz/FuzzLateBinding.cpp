// Late binding as a hostile client uses it: GetIDsOfNames and Invoke on every object a client can
// reach (a controller over the virtual analyzer on a virtual clock, its five children, and every
// other class made by its factory, children without a controller included), with names,
// DISPIDs, flags, argument counts and VARIANTs of every automation type from the input: by value
// and by reference, arrays, empty and null pointers, BSTRs of odd lengths, objects of ours and
// foreign ones. The math processor's event goes to a foreign sink that answers from the input
// and may call back in. Every failure must be a status code, every result a well-formed value,
// and every object must be gone when the client has released its references.
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzInput.h"
#include "automation/AutoObject.h"
#include "automation/Bstr.h"
#include "automation/Quellar.h"
#include "automation/objects/PrtController.h"
#include "errors/Asserts.h"
#include "platform/Clock.h"
#include "platform/Platform.h"
#include "sim/SimTransport.h"
#include "support/ForeignDoubleArray.h"

using namespace quellar;
using namespace quellar::automation;
using fuzz::Require;

namespace {

const InterfaceDesc* FindInterface(REFIID iid) {
  for (size_t i = 0; i < kQuellarLibrary.interfaceCount; ++i)
    if (IsEqualGUID(*kQuellarLibrary.interfaces[i]->iid, iid)) return kQuellarLibrary.interfaces[i];
  return nullptr;
}

struct Target {
  IDispatch* object;
  const InterfaceDesc* itf;
};

class TSink;

// Everything one input works on.
struct Session {
  fuzz::TInput& in;
  std::vector<Target> targets;
  test::TForeignArray* foreign;
  TSink* sink;
  int depth = 0;
  long events = 0;
};

void Action(Session& s);

// A client's event sink: answers GetExpressionValue as the input says, and may call back in.
class TSink final : public test::TClientObject<> {
 public:
  explicit TSink(Session& s) : s_(s) {}
  bool Knows(REFIID riid) const override {
    return riid == IID_IDispatch || riid == DIID_IMathProcessorEvents;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO*, UINT*) override {
    // Bounds the work of a fit; an exhausted input answers y = c0 + c1·x with its derivatives.
    if (++s_.events > 20000 || id != 1 || !params || params->cArgs != 3 || !result) return E_FAIL;
    Require(V_VT(&params->rgvarg[2]) == VT_R8 && V_VT(&params->rgvarg[1]) == VT_DISPATCH &&
            V_VT(&params->rgvarg[0]) == VT_DISPATCH);
    const double x = V_R8(&params->rgvarg[2]);
    auto* c = static_cast<IDoubleArray*>(V_DISPATCH(&params->rgvarg[1]));
    auto* d = static_cast<IDoubleArray*>(V_DISPATCH(&params->rgvarg[0]));
    const uint8_t how = s_.in.Byte();
    if (how & 1) return DISP_E_EXCEPTION;
    if (how & 2) d->put_Count(static_cast<LONG>(s_.in.Below(8)));
    if ((how & 4) && s_.depth == 0) {
      ++s_.depth;
      Action(s_);
      --s_.depth;
    }
    double c0 = 0, c1 = 0;
    c->get_Item(0, &c0);
    c->get_Item(1, &c1);
    d->put_Item(0, 1.0);
    d->put_Item(1, x);
    V_VT(result) = VT_R8;
    V_R8(result) = (how & 8) ? s_.in.Real() : c0 + c1 * x;
    if (how & 16) {
      V_VT(result) = VT_BSTR;
      V_BSTR(result) = NewBstr(std::to_string(V_R8(result)));
    }
    return S_OK;
  }

 private:
  Session& s_;
};

int32_t Int(fuzz::TInput& in) {
  static constexpr int32_t kInts[] = {
      0,   1,    -1,   2,     3,      5,     8,     9,         90,        180,     270,  255,
      256, 4095, 4096, 32767, -32768, 65535, 65536, INT32_MAX, INT32_MIN, 1 << 30, -5000};
  return in.Bit() ? in.Pick(kInts) : static_cast<int32_t>(in.Below(4097));
}

BSTR Text(fuzz::TInput& in) {
  static constexpr char kChars[] = "0123456789 +-.eE\txTrueFalse,Ind";
  const uint32_t n = in.Below(24);
  if (n == 23) return nullptr;
  OleString text;
  for (uint32_t i = 0; i < n; ++i) {
    const uint8_t b = in.Byte();
    text.push_back(b < 0xF0 ? static_cast<OLECHAR>(kChars[b % (sizeof kChars - 1)])
                            : static_cast<OLECHAR>(in.U32()));
  }
  BSTR s = SysAllocStringLen(text.data(), n);
  // An odd byte length, as a client's SysAllocStringByteLen makes.
  if (s && n > 0 && in.Below(4) == 0) {
    const uint32_t bytes = 2 * n - 1;
    std::memcpy(reinterpret_cast<unsigned char*>(s) - sizeof bytes, &bytes, sizeof bytes);
  }
  return s;
}

IDispatch* Object(Session& s) {
  const uint32_t i = s.in.Below(static_cast<uint32_t>(s.targets.size() + 3));
  IDispatch* object = i < s.targets.size()        ? s.targets[i].object
                      : i == s.targets.size()     ? static_cast<IDispatch*>(s.foreign)
                      : i == s.targets.size() + 1 ? static_cast<IDispatch*>(s.sink)
                                                  : nullptr;
  if (object) object->AddRef();
  return object;
}

// The arguments of one call: owned values, and the cells that by-reference arguments point to.
class TArgs {
 public:
  ~TArgs() {
    for (VARIANT& v : values) VariantClear(&v);
    for (VARIANT& v : cells_) VariantClear(&v);
  }

  VARIANT Make(Session& s, bool byrefAllowed) {
    fuzz::TInput& in = s.in;
    VARIANT v;
    VariantInit(&v);
    const uint8_t kind = in.Byte();
    static constexpr VARTYPE kScalars[] = {
        VT_EMPTY, VT_NULL,     VT_I2,    VT_I4,   VT_R4,      VT_R8,      VT_CY, VT_DATE,
        VT_BSTR,  VT_DISPATCH, VT_ERROR, VT_BOOL, VT_UNKNOWN, VT_DECIMAL, VT_I1, VT_UI1,
        VT_UI2,   VT_UI4,      VT_I8,    VT_UI8,  VT_INT,     VT_UINT};
    constexpr uint8_t kArray = sizeof kScalars / sizeof kScalars[0];
    const uint8_t pick = kind % (kArray + 2);
    if (pick == kArray) {
      MakeArray(s, v);
    } else if (pick == kArray + 1) {
      V_VT(&v) = static_cast<VARTYPE>(in.U32());  // any type bits, with no storage
    } else {
      const VARTYPE vt = V_VT(&v) = kScalars[pick];
      if (vt == VT_I8 || vt == VT_UI8 || vt == VT_CY)
        V_I8(&v) = in.Bit() ? INT64_MIN + in.Byte() : int64_t{Int(in)} * (in.Bit() ? 1 : 10000);
      else if (vt == VT_R4)
        V_R4(&v) = static_cast<float>(in.Real(false));
      else if (vt == VT_R8 || vt == VT_DATE)
        V_R8(&v) = in.Real(false);
      else if (vt == VT_BOOL)
        V_BOOL(&v) = static_cast<VARIANT_BOOL>(in.Pick({0, -1, 1, 2}));
      else if (vt == VT_BSTR)
        V_BSTR(&v) = Text(in);
      else if (vt == VT_DISPATCH || vt == VT_UNKNOWN)
        V_DISPATCH(&v) = Object(s);
      else if (vt != VT_EMPTY && vt != VT_NULL && vt != VT_DECIMAL)  // 32 bits or fewer
        V_I4(&v) = vt == VT_ERROR && in.Bit() ? DISP_E_PARAMNOTFOUND : Int(in);
    }
    if (!byrefAllowed || !(kind & 0x80)) return v;
    // By reference: the value moves into a cell of its own.
    VARIANT& cell = cells_.emplace_back(v);
    VARIANT r;
    VariantInit(&r);
    if (in.Below(4) == 0) {
      V_VT(&r) = VT_VARIANT | VT_BYREF;
      V_VARIANTREF(&r) = in.Below(8) ? &cell : nullptr;
      if (in.Below(16) == 0) {  // a reference that leads back to itself
        VariantClear(&cell);
        V_VT(&cell) = VT_VARIANT | VT_BYREF;
        V_VARIANTREF(&cell) = &cell;
      }
    } else {
      V_VT(&r) = static_cast<VARTYPE>(V_VT(&cell) | VT_BYREF);
      V_BYREF(&r) = in.Below(8) == 0            ? nullptr
                    : V_VT(&cell) == VT_DECIMAL ? static_cast<void*>(&V_DECIMAL(&cell))
                                                : static_cast<void*>(&V_I4(&cell));
    }
    return r;
  }

  std::vector<VARIANT> values;

 private:
  // A safe array of one or two dimensions; the variant may claim another element type.
  void MakeArray(Session& s, VARIANT& v) {
    fuzz::TInput& in = s.in;
    static constexpr VARTYPE kElements[] = {VT_R8, VT_UI1, VT_I4, VT_VARIANT, VT_BSTR, VT_DISPATCH};
    const VARTYPE element = in.Pick(kElements);
    V_VT(&v) = static_cast<VARTYPE>(VT_ARRAY | (in.Below(8) ? element : in.Pick(kElements)));
    if (in.Below(8) == 0) return;  // a null array
    SAFEARRAYBOUND bounds[2];
    const UINT dims = 1 + in.Below(2);
    static constexpr LONG kLower[] = {0, 0, 1, -1, INT32_MAX, INT32_MIN};
    for (UINT d = 0; d < dims; ++d) bounds[d] = {in.Below(9), in.Pick(kLower)};
    SAFEARRAY* psa = SafeArrayCreate(element, dims, bounds);
    Require(psa != nullptr);
    const size_t n = size_t{bounds[0].cElements} * (dims == 2 ? bounds[1].cElements : 1);
    for (size_t i = 0; i < n; ++i) {
      if (element == VT_R8) static_cast<double*>(psa->pvData)[i] = in.Real(false);
      if (element == VT_UI1) static_cast<uint8_t*>(psa->pvData)[i] = in.Byte();
      if (element == VT_I4) static_cast<int32_t*>(psa->pvData)[i] = Int(in);
      if (element == VT_VARIANT) static_cast<VARIANT*>(psa->pvData)[i] = Make(s, false);
      if (element == VT_BSTR) static_cast<BSTR*>(psa->pvData)[i] = Text(in);
      if (element == VT_DISPATCH) static_cast<IDispatch**>(psa->pvData)[i] = Object(s);
    }
    V_ARRAY(&v) = psa;
  }

  std::deque<VARIANT> cells_;
};

// Roughly the number an argument stands for, to keep the harness from asking for gigabytes or
// billions of runs (the library's own limits are tested elsewhere).
double Magnitude(const VARIANT& v) {
  const VARIANT* p = &v;
  for (int i = 0; i < 16 && V_VT(p) == (VT_VARIANT | VT_BYREF) && V_VARIANTREF(p); ++i)
    p = V_VARIANTREF(p);
  const bool byref = V_VT(p) & VT_BYREF;
  if (byref && !V_BYREF(p)) return 0;
  const void* at = byref ? V_BYREF(p) : static_cast<const void*>(&V_I4(p));
  const VARTYPE vt = V_VT(p) & ~VT_BYREF;
  if (vt == VT_BSTR)
    return std::abs(std::strtod(FromBstr(*static_cast<const BSTR*>(at)).c_str(), nullptr));
  if (vt == VT_R8 || vt == VT_DATE) return std::abs(*static_cast<const double*>(at));
  if (vt == VT_R4) return std::abs(*static_cast<const float*>(at));
  if (vt == VT_I8 || vt == VT_UI8 || vt == VT_CY)
    return std::abs(static_cast<double>(*static_cast<const int64_t*>(at)));
  if (vt == VT_I4 || vt == VT_INT || vt == VT_UI4 || vt == VT_UINT)
    return std::abs(static_cast<double>(*static_cast<const int32_t*>(at)));
  return 0;
}

bool Costly(const Target& t, DISPID id, WORD flags, const std::vector<VARIANT>& args) {
  const std::string_view name = t.itf->name;
  const bool count = (name == "IDoubleArray" || name == "IByteArray") && id == 1 &&
                     (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF));
  const bool runs = name == "IAnalysis" && id == 1;
  if (!count && !runs) return false;
  for (const VARIANT& v : args)
    if (!(Magnitude(v) <= 4096)) return true;
  return false;
}

void CheckResult(const VARIANT& r) {
  const VARTYPE vt = V_VT(&r);
  if (vt == VT_BOOL)
    Require(V_BOOL(&r) == VARIANT_TRUE || V_BOOL(&r) == VARIANT_FALSE);
  else if (vt == VT_DISPATCH)
    Require(V_DISPATCH(&r) != nullptr);
  else if (vt == (VT_ARRAY | VT_R8) || vt == (VT_ARRAY | VT_UI1))
    Require(V_ARRAY(&r) && SafeArrayGetDim(V_ARRAY(&r)) == 1);
  else
    Require(vt == VT_EMPTY || vt == VT_I4 || vt == VT_R8 || vt == VT_UI1 || vt == VT_BSTR);
}

// Type information, or the DISPIDs of names.
void LookUp(Session& s, const Target& t) {
  fuzz::TInput& in = s.in;
  if (in.Below(8) == 0) {
    UINT infos = 7;
    Require(t.object->GetTypeInfoCount(&infos) == S_OK && infos <= 1);
    ITypeInfo* info = nullptr;
    const HRESULT hr = t.object->GetTypeInfo(in.Below(3), LOCALE_USER_DEFAULT, &info);
    Require(SUCCEEDED(hr) == (info != nullptr));
    if (info) info->Release();
    return;
  }
  const UINT count = in.Below(4);
  std::vector<OleString> texts(count);
  std::vector<LPOLESTR> names(count);
  const MemberDesc* named = nullptr;
  for (UINT i = 0; i < count; ++i) {
    const MemberDesc& m = t.itf->members[in.Below(static_cast<uint32_t>(t.itf->memberCount))];
    const uint8_t how = in.Byte() % 4;
    std::string text = how == 0 || m.paramCount == 0 ? m.name : m.params[0].name;
    for (char& c : text)
      if (std::isalpha(static_cast<unsigned char>(c)) && in.Bit()) c = static_cast<char>(c ^ 0x20);
    if (i == 0 && how == 0) named = &m;
    texts[i] = how == 3 ? OleString(in.Below(4), static_cast<OLECHAR>(in.U32())) : ToOle(text);
    names[i] = how == 2 && in.Bit() ? nullptr : texts[i].data();
  }
  std::vector<DISPID> ids(count + 1, 12345);
  const bool nullIid = in.Below(8) != 0;
  const HRESULT hr = t.object->GetIDsOfNames(nullIid ? IID_NULL : IID_IDispatch,
                                             in.Below(8) ? names.data() : nullptr, count,
                                             LOCALE_USER_DEFAULT, ids.data());
  Require(hr == S_OK || hr == DISP_E_UNKNOWNNAME || hr == E_INVALIDARG ||
          hr == DISP_E_UNKNOWNINTERFACE);
  if (named && nullIid && hr != E_INVALIDARG) Require(ids[0] == named->id);
}

void Call(Session& s, const Target& t) {
  fuzz::TInput& in = s.in;
  static constexpr DISPID kOddIds[] = {
      DISPID_UNKNOWN, DISPID_VALUE, DISPID_PROPERTYPUT, DISPID_NEWENUM, 4, 5, 13, 99,
      INT32_MIN,      INT32_MAX};
  static constexpr WORD kFlags[] = {DISPATCH_METHOD, DISPATCH_PROPERTYGET,
                                    DISPATCH_METHOD | DISPATCH_PROPERTYGET, DISPATCH_PROPERTYPUT,
                                    DISPATCH_PROPERTYPUTREF};
  static constexpr DISPID kNamedIds[] = {DISPID_PROPERTYPUT, 0, 1, 2, 3, 6, -1};
  const DISPID id = in.Below(4)
                        ? t.itf->members[in.Below(static_cast<uint32_t>(t.itf->memberCount))].id
                        : in.Pick(kOddIds);
  const WORD flags = in.Below(8) ? in.Pick(kFlags) : static_cast<WORD>(in.Byte());
  TArgs args;
  const UINT count = in.Below(7);
  for (UINT i = 0; i < count; ++i) args.values.push_back(args.Make(s, true));
  // Every argument of the compiler's Save and Load names a file inside the scratch folder.
  if (std::string_view(t.itf->name) == "ICompiler" && (id == 8 || id == 9)) {
    static const char* kFiles[] = {"program.bin", "no-folder/program.bin", "", "."};
    for (VARIANT& v : args.values) {
      VariantClear(&v);
      V_VT(&v) = VT_BSTR;
      V_BSTR(&v) = NewBstr(platform::TempDirectory() + in.Pick(kFiles));
    }
  }
  if (Costly(t, id, flags, args.values)) return;
  DISPID namedIds[2] = {in.Pick(kNamedIds), in.Pick(kNamedIds)};
  DISPPARAMS params{count ? args.values.data() : nullptr, namedIds, count,
                    std::min<UINT>(count, in.Below(3))};
  const uint8_t lie = in.Below(16);
  if (lie == 1) params.rgvarg = nullptr;
  if (lie == 2) params.rgdispidNamedArgs = nullptr;
  if (lie == 3) params.cNamedArgs = count + 1;
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO excep{};
  constexpr UINT kUnset = 0xDEADBEEF;
  UINT argErr = kUnset;
  const bool wantResult = in.Below(8) != 0, wantExcep = in.Bit(), wantArgErr = in.Bit();
  const HRESULT hr =
      t.object->Invoke(id, in.Below(16) ? IID_NULL : IID_IDispatch, LOCALE_USER_DEFAULT, flags,
                       lie == 4 ? nullptr : &params, wantResult ? &result : nullptr,
                       wantExcep ? &excep : nullptr, wantArgErr ? &argErr : nullptr);
  Require(hr == S_OK || FAILED(hr));
  if (argErr != kUnset) Require(FAILED(hr) && argErr < count);
  if (hr == DISP_E_EXCEPTION && wantExcep) Require(FAILED(excep.scode));
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrHelpFile);
  if (hr == S_OK)
    CheckResult(result);
  else
    Require(V_VT(&result) == VT_EMPTY);
  VariantClear(&result);
}

void Action(Session& s) {
  const uint8_t what = s.in.Byte();
  // The client lets the controller go; children it holds must fail cleanly from now on.
  if (what == 0xFF && s.depth == 0 && s.targets[0].object) {
    s.targets[0].object->Release();
    s.targets[0].object = nullptr;
    return;
  }
  const Target& t = s.targets[s.in.Below(static_cast<uint32_t>(s.targets.size()))];
  if (!t.object) return;
  if (what % 4 == 0)
    LookUp(s, t);
  else
    Call(s, t);
}

void Setup() {
  static platform::VirtualClock clock;
  platform::SetClock(&clock);
  platform::SetReportHandler(
      [](const std::string&, const std::string&) { return platform::DialogAnswer::No; });
  static char folder[] = "/tmp/quellar-fuzz-XXXXXX";
  Require(mkdtemp(folder) != nullptr);
  setenv("TMPDIR", folder, 1);
  std::atexit([] { std::filesystem::remove_all(folder); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = (Setup(), true);
  (void)ready;
  std::remove(ErrorLogPath().c_str());
  const long objectsBefore = server::ObjectCount();
  fuzz::TInput in(data, size);
  test::TForeignArray foreign;
  for (size_t n = in.Below(6); n > 0; --n) foreign.items.push_back(in.Real(false));
  Session s{in, {}, &foreign, nullptr};
  TSink sink(s);
  s.sink = &sink;

  // The controller over the virtual analyzer, and its children through its properties.
  auto* controller = new TQuellarController(std::make_unique<sim::TSimTransport>());
  const InterfaceDesc& controllerItf = *FindInterface(IID_IController);
  s.targets.push_back({controller, &controllerItf});
  for (size_t k = 0; k < controllerItf.memberCount; ++k) {
    const MemberDesc& m = controllerItf.members[k];
    if (m.kind != MemberKind::PropertyGet || m.params[0].type != VT_DISPATCH) continue;
    DISPPARAMS none{};
    VARIANT child;
    VariantInit(&child);
    Require(controller->Invoke(m.id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none,
                               &child, nullptr, nullptr) == S_OK);
    s.targets.push_back({V_DISPATCH(&child), FindInterface(*m.params[0].iid)});
  }
  // Every other class from its factory; the controller's would open a real serial port.
  for (size_t i = 0; i < kQuellarLibrary.classCount; ++i) {
    const ClassDesc& c = *kQuellarLibrary.classes[i];
    if (*c.clsid == CLSID_Controller) continue;
    IClassFactory* factory = nullptr;
    Require(DllGetClassObject(*c.clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)) ==
            S_OK);
    IDispatch* object = nullptr;
    Require(factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&object)) ==
            S_OK);
    factory->Release();
    s.targets.push_back({object, c.defaultInterface});
  }
  if (in.Bit()) {
    VARIANT_BOOL opened = VARIANT_FALSE;
    controller->Open(1, &opened);
  }
  for (Target& t : s.targets) {
    if (std::string_view(t.itf->name) != "IMathProcessor" || !in.Bit()) continue;
    IConnectionPointContainer* container = nullptr;
    IConnectionPoint* point = nullptr;
    DWORD cookie = 0;
    t.object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
    Require(container->FindConnectionPoint(DIID_IMathProcessorEvents, &point) == S_OK);
    Require(point->Advise(&sink, &cookie) == S_OK);
    point->Release();
    container->Release();
  }
  // The foreign array may empty one of ours while the library reads it.
  IDoubleArray* ours = nullptr;
  for (Target& t : s.targets)
    if (std::string_view(t.itf->name) == "IDoubleArray" && in.Bit())
      t.object->QueryInterface(IID_IDoubleArray, reinterpret_cast<void**>(&ours));
  foreign.shrinkOnRead = ours;

  for (int step = 0; step < 48 && !in.Empty(); ++step) Action(s);

  if (ours) ours->Release();
  for (Target& t : s.targets)
    if (t.object) t.object->Release();
  SetErrorInfo(0, nullptr);
  Require(server::ObjectCount() == objectsBefore);
  return 0;
}
