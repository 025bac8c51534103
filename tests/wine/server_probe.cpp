// Checks Quellar.dll through the real ole32/oleaut32 (run under Wine by scripts/stage-wine.sh):
// the embedded type library, the class factories of all nine classes, DllCanUnloadNow, and
// creation through the registry, a DoubleArray through its vtable. Usage:
// server_probe <path of Quellar.dll> [--denied-key | --mta]
// With --denied-key (run while the server is not registered) it checks instead that registration
// fails with the library's message when a key cannot be written, and that unregistration then
// cleans up. With --mta it reaches a DoubleArray from the multithreaded apartment through proxies.
#include <windows.h>
// windows.h comes first
#include <oaidl.h>
#include <objbase.h>
#include <oleauto.h>
#include <sddl.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

int failures = 0;

void Check(bool condition, const std::string& what) {
  if (!condition) {
    ++failures;
    std::printf("FAIL %s\n", what.c_str());
  }
}

std::string Narrow(const wchar_t* text) {
  std::string out;
  for (; text && *text; ++text) out += static_cast<char>(*text);
  return out;
}

std::string Hex(HRESULT hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08lX", static_cast<unsigned long>(hr));
  return buf;
}

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using CanUnloadFn = HRESULT(STDAPICALLTYPE*)();
using ServerFn = HRESULT(STDAPICALLTYPE*)();

// GetProcAddress answers a generic function pointer; go through void* to the real type.
template <class F>
F Entry(HMODULE module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

struct CoClass {
  std::string name;
  CLSID clsid;
};

// A late-bound call by name finds RegressionExp at DISPID 6; DISPIDs 4 and 5 are unused.
void CheckMathMembers(ITypeInfo* info) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(L"RegressionExp")};
  MEMBERID id = -1;
  info->GetIDsOfNames(names, 1, &id);
  Check(id == 6, "IMathProcessor.RegressionExp has DISPID 6, got " + std::to_string(id));
  for (MEMBERID unused : {4, 5}) {
    BSTR name = nullptr;
    UINT found = 0;
    info->GetNames(unused, &name, 1, &found);
    Check(found == 0, "IMathProcessor has no DISPID " + std::to_string(unused));
    SysFreeString(name);
  }
}

// The library's identity and its coclasses, read from the TYPELIB resource of the DLL.
std::vector<CoClass> CheckTypeLibrary(const std::wstring& dll, GUID* libid) {
  std::vector<CoClass> classes;
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadTypeLibEx(dll.c_str(), REGKIND_NONE, &lib);
  Check(SUCCEEDED(hr) && lib, "LoadTypeLibEx on the DLL " + Hex(hr));
  if (!lib) return classes;
  TLIBATTR* attr = nullptr;
  lib->GetLibAttr(&attr);
  *libid = attr->guid;
  Check(attr->lcid == 0x409, "library locale 0x409");
  Check(attr->wMajorVerNum == 1 && attr->wMinorVerNum == 0, "library version 1.0");
  Check(attr->syskind == (sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32), "library system kind");
  lib->ReleaseTLibAttr(attr);
  BSTR name = nullptr, doc = nullptr;
  lib->GetDocumentation(-1, &name, &doc, nullptr, nullptr);
  Check(Narrow(name) == "Quellar", "library name " + Narrow(name));
  Check(Narrow(doc) == "Quellar Library", "library help string " + Narrow(doc));
  SysFreeString(name);
  SysFreeString(doc);

  UINT count = lib->GetTypeInfoCount();
  Check(count == 23, "23 type descriptions, got " + std::to_string(count));
  int interfaces = 0, duals = 0, enums = 0;
  for (UINT i = 0; i < count; ++i) {
    ITypeInfo* info = nullptr;
    if (FAILED(lib->GetTypeInfo(i, &info))) continue;
    TYPEATTR* type = nullptr;
    info->GetTypeAttr(&type);
    BSTR typeName = nullptr;
    info->GetDocumentation(MEMBERID_NIL, &typeName, nullptr, nullptr, nullptr);
    switch (type->typekind) {
      case TKIND_COCLASS:
        classes.push_back({Narrow(typeName), type->guid});
        Check((type->wTypeFlags & TYPEFLAG_FCANCREATE) != 0, Narrow(typeName) + " creatable");
        break;
      case TKIND_ENUM:
        ++enums;
        break;
      case TKIND_INTERFACE:
      case TKIND_DISPATCH:
        ++interfaces;
        if ((type->wTypeFlags & TYPEFLAG_FDUAL) != 0) ++duals;
        if (Narrow(typeName) == "IMathProcessor") CheckMathMembers(info);
        break;
      default:
        break;
    }
    SysFreeString(typeName);
    info->ReleaseTypeAttr(type);
    info->Release();
  }
  Check(classes.size() == 9, "9 classes, got " + std::to_string(classes.size()));
  Check(interfaces == 10, "10 interfaces, got " + std::to_string(interfaces));
  Check(enums == 4, "4 enumerations, got " + std::to_string(enums));
  Check(duals == 9, "9 dual interfaces, got " + std::to_string(duals));

  lib->Release();
  return classes;
}

// The first slots of IDoubleArray in the order of the type library: a client compiled against
// the library's description calls through exactly this layout.
struct IDoubleArrayLayout : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_Item(LONG Ind, double* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Item(LONG Ind, double Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Count(LONG* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Count(LONG Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_AsVariant(VARIANT* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_AsVariant(VARIANT Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE CopyFrom(IDispatch* Reference) = 0;
  virtual HRESULT STDMETHODCALLTYPE Mean(double* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE Sum(double* Value) = 0;
};

// The interface identifier of IDoubleArray, from the type library in the DLL.
IID DoubleArrayId(const std::wstring& dll) {
  IID iid{};
  ITypeLib* lib = nullptr;
  if (FAILED(LoadTypeLibEx(dll.c_str(), REGKIND_NONE, &lib))) return iid;
  for (UINT i = 0; i < lib->GetTypeInfoCount(); ++i) {
    BSTR name = nullptr;
    lib->GetDocumentation(static_cast<INT>(i), &name, nullptr, nullptr, nullptr);
    if (Narrow(name) == "IDoubleArray") {
      ITypeInfo* info = nullptr;
      lib->GetTypeInfo(i, &info);
      TYPEATTR* type = nullptr;
      info->GetTypeAttr(&type);
      iid = type->guid;
      info->ReleaseTypeAttr(type);
      info->Release();
    }
    SysFreeString(name);
  }
  lib->Release();
  return iid;
}

std::string Description() {
  IErrorInfo* info = nullptr;
  BSTR text = nullptr;
  if (GetErrorInfo(0, &info) == S_OK && info) {
    info->GetDescription(&text);
    info->Release();
  }
  std::string out = Narrow(text);
  SysFreeString(text);
  return out;
}

// A DoubleArray through its vtable and through Invoke: in the same apartment the object itself,
// from another apartment a proxy made by the type-library marshaler.
void CheckDoubleArray(IDispatch* object, const IID& iid, const std::string& how) {
  IDoubleArrayLayout* a = nullptr;
  HRESULT hr = object->QueryInterface(iid, reinterpret_cast<void**>(&a));
  Check(hr == S_OK && a, how + ": IDoubleArray " + Hex(hr));
  if (!a) return;
  Check(a->put_Count(3) == S_OK && a->put_Item(1, 2.5) == S_OK && a->put_Item(2, -4) == S_OK,
        how + ": Count and Item put");
  LONG count = 0;
  double value = 0, sum = 0;
  Check(a->get_Count(&count) == S_OK && count == 3, how + ": Count " + std::to_string(count));
  Check(a->get_Item(1, &value) == S_OK && value == 2.5, how + ": Item(1)");
  Check(a->Sum(&sum) == S_OK && sum == -1.5, how + ": Sum");

  // AsVariant get: a safe array of doubles with bounds 0 to Count - 1.
  VARIANT v;
  VariantInit(&v);
  Check(a->get_AsVariant(&v) == S_OK, how + ": AsVariant get");
  if (V_VT(&v) == (VT_ARRAY | VT_R8) && V_ARRAY(&v)) {
    SAFEARRAY* sa = V_ARRAY(&v);
    LONG lo = -1, hi = -1;
    SafeArrayGetLBound(sa, 1, &lo);
    SafeArrayGetUBound(sa, 1, &hi);
    Check(SafeArrayGetDim(sa) == 1 && lo == 0 && hi == 2, how + ": AsVariant bounds");
    double* items = nullptr;
    SafeArrayAccessData(sa, reinterpret_cast<void**>(&items));
    Check(items && items[0] == 0 && items[1] == 2.5 && items[2] == -4, how + ": AsVariant items");
    SafeArrayUnaccessData(sa);
  } else {
    Check(false, how + ": AsVariant type " + std::to_string(V_VT(&v)));
  }
  VariantClear(&v);

  // AsVariant put: bounds 1 to 4 give four items, the one at bound 1 first.
  SAFEARRAYBOUND bound{4, 1};
  VARIANT in;
  VariantInit(&in);
  V_VT(&in) = VT_ARRAY | VT_R8;
  V_ARRAY(&in) = SafeArrayCreate(VT_R8, 1, &bound);
  for (LONG i = 1; i <= 4; ++i) {
    double item = 10.0 * i;
    SafeArrayPutElement(V_ARRAY(&in), &i, &item);
  }
  Check(a->put_AsVariant(in) == S_OK, how + ": AsVariant put");
  Check(a->get_Count(&count) == S_OK && count == 4, how + ": Count after AsVariant put");
  Check(a->get_Item(0, &value) == S_OK && value == 10, how + ": first item after AsVariant put");
  VariantClear(&in);

  // A failure carries its status and the library's message across.
  SetErrorInfo(0, nullptr);
  hr = a->put_Count(-1);
  Check(hr == E_INVALIDARG, how + ": Count -1 gives " + Hex(hr));
  Check(Description() == "Count -1 is negative", how + ": Count -1 description");

  // Late bound by DISPID: Count is 1.
  VARIANT result;
  VariantInit(&result);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  hr = object->Invoke(1, IID_NULL, 0x409, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr);
  Check(hr == S_OK && V_VT(&result) == VT_I4 && V_I4(&result) == 4, how + ": Invoke Count");
  VariantClear(&result);
  a->Release();
}

VARIANT Long(LONG value) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_I4;
  V_I4(&v) = value;
  return v;
}

VARIANT Real(double value) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_R8;
  V_R8(&v) = value;
  return v;
}

// Invoke with the arguments in call order (DISPPARAMS wants them reversed).
HRESULT Call(IDispatch* object, DISPID id, WORD flags, std::vector<VARIANT> args, VARIANT* result,
             EXCEPINFO* error = nullptr) {
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS params{reversed.data(), flags == DISPATCH_PROPERTYPUT ? &put : nullptr,
                    static_cast<UINT>(reversed.size()), flags == DISPATCH_PROPERTYPUT ? 1u : 0u};
  if (result) VariantInit(result);
  EXCEPINFO scratch{};
  HRESULT hr = object->Invoke(id, IID_NULL, 0x409, flags, &params, result, error ? error : &scratch,
                              nullptr);
  if (!error) {
    SysFreeString(scratch.bstrSource);
    SysFreeString(scratch.bstrDescription);
    SysFreeString(scratch.bstrHelpFile);
  }
  return hr;
}

// A DoubleArray late bound, as a script engine reaches it.
void CheckLateBound(IDispatch* object, const std::string& how) {
  const WORD get = DISPATCH_PROPERTYGET, put = DISPATCH_PROPERTYPUT;
  VARIANT r;
  Check(Call(object, 1, put, {Long(3)}, nullptr) == S_OK, how + ": Count put");
  Check(Call(object, 0, put, {Long(1), Real(2.5)}, nullptr) == S_OK, how + ": Item put");
  Check(Call(object, 1, get, {}, &r) == S_OK && V_VT(&r) == VT_I4 && V_I4(&r) == 3,
        how + ": Count get");
  Check(Call(object, 0, get, {Long(1)}, &r) == S_OK && V_VT(&r) == VT_R8 && V_R8(&r) == 2.5,
        how + ": Item get");
  Check(Call(object, 2, get, {}, &r) == S_OK && V_VT(&r) == (VT_ARRAY | VT_R8),
        how + ": AsVariant");
  if (V_VT(&r) == (VT_ARRAY | VT_R8)) {
    LONG lo = -1, hi = -1, i = 1;
    double item = 0;
    SafeArrayGetLBound(V_ARRAY(&r), 1, &lo);
    SafeArrayGetUBound(V_ARRAY(&r), 1, &hi);
    SafeArrayGetElement(V_ARRAY(&r), &i, &item);
    Check(lo == 0 && hi == 2 && item == 2.5, how + ": AsVariant bounds and items");
  }
  VariantClear(&r);
  EXCEPINFO error{};
  HRESULT hr = Call(object, 1, put, {Long(-1)}, nullptr, &error);
  Check(hr == DISP_E_EXCEPTION && error.scode == E_INVALIDARG &&
            Narrow(error.bstrDescription) == "Count -1 is negative" &&
            Narrow(error.bstrSource) == "Quellar.DoubleArray",
        how + ": Count -1 raises " + Hex(hr) + " [" + Narrow(error.bstrDescription) + "]");
  SysFreeString(error.bstrSource);
  SysFreeString(error.bstrDescription);
  SysFreeString(error.bstrHelpFile);
}

// A client in the multithreaded apartment: the apartment-threaded object is made in a host
// apartment and reached through proxies built from the registered type library.
void CheckFromMultithreadedApartment(const std::wstring& dll) {
  CLSID clsid{};
  Check(SUCCEEDED(CLSIDFromProgID(L"Quellar.DoubleArray", &clsid)), "ProgID Quellar.DoubleArray");
  IDispatch* object = nullptr;
  HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                reinterpret_cast<void**>(&object));
  Check(hr == S_OK && object, "CoCreateInstance from the multithreaded apartment " + Hex(hr));
  if (!object) return;
  IUnknown* security = nullptr;
  Check(object->QueryInterface(IID_IClientSecurity, reinterpret_cast<void**>(&security)) == S_OK,
        "the object is reached through a proxy");
  if (security) security->Release();
  CheckLateBound(object, "proxy");
  // The type-library marshaler finds the library by locale 0; ours is registered under 0x409,
  // so early binding from another apartment depends on the system's lookup. Only noted.
  IUnknown* early = nullptr;
  if (object->QueryInterface(DoubleArrayId(dll), reinterpret_cast<void**>(&early)) == S_OK) {
    CheckDoubleArray(object, DoubleArrayId(dll), "proxy");
    early->Release();
  } else {
    std::printf("note: no IDoubleArray proxy here (type library lookup by locale 0)\n");
  }
  object->Release();
}

// A programmatic-identifier key that exists but denies setting values makes registration fail
// with the registry message; unregistration removes the key again.
void CheckDeniedKey(HMODULE module) {
  auto registerServer = Entry<ServerFn>(module, "DllRegisterServer");
  auto unregisterServer = Entry<ServerFn>(module, "DllUnregisterServer");
  HKEY key = nullptr;
  LONG rc = RegCreateKeyExA(HKEY_CLASSES_ROOT, "Quellar.ByteArray", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr);
  Check(rc == ERROR_SUCCESS, "create Quellar.ByteArray");
  PSECURITY_DESCRIPTOR sd = nullptr;
  // Everyone: KEY_SET_VALUE denied, everything else allowed.
  ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(D;;0x2;;;WD)(A;;KA;;;WD)",
                                                       SDDL_REVISION_1, &sd, nullptr);
  rc = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, sd);
  Check(rc == ERROR_SUCCESS, "deny setting values on Quellar.ByteArray");
  LocalFree(sd);
  RegCloseKey(key);

  SetErrorInfo(0, nullptr);
  HRESULT hr = registerServer();
  Check(hr == HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED),
        "DllRegisterServer fails with the registry's status, got " + Hex(hr));
  IErrorInfo* info = nullptr;
  BSTR description = nullptr;
  if (GetErrorInfo(0, &info) == S_OK && info) {
    info->GetDescription(&description);
    info->Release();
  }
  Check(Narrow(description) == "Error creating system registry entry",
        "error description [" + Narrow(description) + "]");
  SysFreeString(description);

  hr = unregisterServer();
  Check(hr == S_OK, "DllUnregisterServer after a failed registration " + Hex(hr));
  for (const char* progId : {"Quellar.Controller", "Quellar.MathProcessor", "Quellar.DoubleArray",
                             "Quellar.ByteArray"}) {
    rc = RegOpenKeyExA(HKEY_CLASSES_ROOT, progId, 0, KEY_READ, &key);
    if (rc == ERROR_SUCCESS) RegCloseKey(key);
    Check(rc == ERROR_FILE_NOT_FOUND, std::string(progId) + " removed");
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc == 3 ? argv[2] : "";
  const bool deniedKey = mode == "--denied-key";
  const bool multithreaded = mode == "--mta";
  if (argc != 2 && !deniedKey && !multithreaded) {
    std::printf("usage: server_probe <Quellar.dll> [--denied-key | --mta]\n");
    return 2;
  }
  std::wstring dll(argv[1], argv[1] + std::string(argv[1]).size());
  CoInitializeEx(nullptr, multithreaded ? COINIT_MULTITHREADED : COINIT_APARTMENTTHREADED);
  if (multithreaded) {
    CheckFromMultithreadedApartment(dll);
    CoUninitialize();
    std::printf(failures ? "%d failure(s)\n" : "PASS server_probe\n", failures);
    return failures ? 1 : 0;
  }

  HMODULE module = LoadLibraryW(dll.c_str());
  Check(module != nullptr, "LoadLibrary");
  if (!module) return 1;
  auto getClassObject = Entry<GetClassObjectFn>(module, "DllGetClassObject");
  auto canUnload = Entry<CanUnloadFn>(module, "DllCanUnloadNow");
  Check(getClassObject && canUnload, "entry points by name");
  if (!getClassObject || !canUnload) return 1;
  if (deniedKey) {
    CheckDeniedKey(module);
    std::printf(failures ? "%d failure(s)\n" : "PASS server_probe\n", failures);
    return failures ? 1 : 0;
  }

  GUID libid{};
  std::vector<CoClass> classes = CheckTypeLibrary(dll, &libid);

  // Every class has a factory; it serves IClassFactory but not IDispatch.
  for (const CoClass& c : classes) {
    IClassFactory* factory = nullptr;
    HRESULT hr = getClassObject(c.clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    Check(hr == S_OK && factory, "factory of " + c.name + " " + Hex(hr));
    if (factory) factory->Release();
    void* other = reinterpret_cast<void*>(1);
    hr = getClassObject(c.clsid, IID_IDispatch, &other);
    Check(hr == E_NOINTERFACE && other == nullptr, "factory of " + c.name + " lacks IDispatch");
  }
  void* none = reinterpret_cast<void*>(1);
  HRESULT hr = getClassObject(libid, IID_IClassFactory, &none);
  Check(hr == CLASS_E_CLASSNOTAVAILABLE && none == nullptr, "unknown class " + Hex(hr));

  // DllCanUnloadNow follows live objects and server locks.
  Check(canUnload() == S_OK, "nothing alive: can unload");
  CLSID arrayId{};
  Check(SUCCEEDED(CLSIDFromProgID(L"Quellar.DoubleArray", &arrayId)), "ProgID Quellar.DoubleArray");
  IClassFactory* factory = nullptr;
  getClassObject(arrayId, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (factory) {
    IDispatch* object = nullptr;
    hr = factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&object));
    Check(hr == S_OK && object, "CreateInstance " + Hex(hr));
    Check(canUnload() == S_FALSE, "an object alive: cannot unload");
    if (object) {
      CheckDoubleArray(object, DoubleArrayId(dll), "direct");
      CheckLateBound(object, "direct");
      UINT infos = 0;
      object->GetTypeInfoCount(&infos);
      Check(infos == 1, "GetTypeInfoCount 1");
      LPOLESTR names[] = {const_cast<LPOLESTR>(L"count")};
      DISPID id = -1;
      hr = object->GetIDsOfNames(IID_NULL, names, 1, 0x409, &id);
      Check(hr == S_OK && id == 1, "GetIDsOfNames ignores case: Count is DISPID 1");
      object->Release();
    }
    Check(canUnload() == S_OK, "object released: can unload");
    factory->LockServer(TRUE);
    Check(canUnload() == S_FALSE, "server locked: cannot unload");
    factory->LockServer(FALSE);
    Check(canUnload() == S_OK, "server unlocked: can unload");
    factory->Release();
  }

  // Through the registry: the four client classes, and none of the internal ones.
  for (const CoClass& c : classes) {
    const bool creatable = c.name == "Controller" || c.name == "MathProcessor" ||
                           c.name == "DoubleArray" || c.name == "ByteArray";
    std::wstring progId = L"Quellar." + std::wstring(c.name.begin(), c.name.end());
    CLSID registered{};
    hr = CLSIDFromProgID(progId.c_str(), &registered);
    if (creatable) {
      Check(hr == S_OK && IsEqualCLSID(registered, c.clsid), "Quellar." + c.name + " registered");
    } else {
      Check(FAILED(hr), "Quellar." + c.name + " not registered");
    }
  }
  IUnknown* viaRegistry = nullptr;
  hr = CoCreateInstance(arrayId, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                        reinterpret_cast<void**>(&viaRegistry));
  Check(hr == S_OK && viaRegistry, "CoCreateInstance through the registry " + Hex(hr));
  if (viaRegistry) viaRegistry->Release();

  CoUninitialize();
  if (failures) {
    std::printf("%d failure(s)\n", failures);
    return 1;
  }
  std::printf("PASS server_probe\n");
  return 0;
}
