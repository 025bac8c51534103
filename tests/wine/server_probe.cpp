// Checks Quellar.dll through the real ole32/oleaut32 (run under Wine by scripts/stage-wine.sh):
// the class factories of every class in the embedded type library, their registration,
// DllCanUnloadNow and a DoubleArray late bound. Usage:
// server_probe <path of Quellar.dll> [--denied-key | --mta]
// With --denied-key (run while the server is not registered) it checks instead that registration
// fails with the library's message when a key cannot be written, and that unregistration then
// cleans up. With --mta it reaches a DoubleArray from the multithreaded apartment through proxies.
#include <windows.h>
// windows.h comes first
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

// GetProcAddress answers a generic function pointer; go through void* to the real type.
template <class F>
F Entry(HMODULE module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

struct CoClass {
  std::string name;
  CLSID clsid;
};

std::vector<CoClass> CoClasses(const std::wstring& dll) {
  std::vector<CoClass> classes;
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadTypeLibEx(dll.c_str(), REGKIND_NONE, &lib);
  Check(SUCCEEDED(hr) && lib, "LoadTypeLibEx on the DLL " + Hex(hr));
  for (UINT i = 0; lib && i < lib->GetTypeInfoCount(); ++i) {
    ITypeInfo* info = nullptr;
    TYPEATTR* type = nullptr;
    BSTR name = nullptr;
    if (FAILED(lib->GetTypeInfo(i, &info))) continue;
    info->GetTypeAttr(&type);
    info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
    if (type->typekind == TKIND_COCLASS) classes.push_back({Narrow(name), type->guid});
    SysFreeString(name);
    info->ReleaseTypeAttr(type);
    info->Release();
  }
  if (lib) lib->Release();
  return classes;
}

VARIANT Long(LONG value) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_I4;
  V_I4(&v) = value;
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
  SysFreeString(scratch.bstrSource);
  SysFreeString(scratch.bstrDescription);
  SysFreeString(scratch.bstrHelpFile);
  return hr;
}

// A DoubleArray late bound (Count is DISPID 1, AsVariant 2), in the same apartment or through a
// proxy. Scripts cannot make a safe array with a lower bound of 1, and Wine's cannot read bounds.
void CheckDoubleArray(IDispatch* object, const std::string& how) {
  // Bounds 1 to 4 give four items, the one at bound 1 first.
  SAFEARRAYBOUND bound{4, 1};
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_ARRAY | VT_R8;
  V_ARRAY(&v) = SafeArrayCreate(VT_R8, 1, &bound);
  for (LONG i = 1; i <= 4; ++i) {
    double item = 10.0 * i;
    SafeArrayPutElement(V_ARRAY(&v), &i, &item);
  }
  Check(Call(object, 2, DISPATCH_PROPERTYPUT, {v}, nullptr) == S_OK, how + ": AsVariant put");
  VariantClear(&v);
  Check(Call(object, 2, DISPATCH_PROPERTYGET, {}, &v) == S_OK && V_VT(&v) == (VT_ARRAY | VT_R8),
        how + ": AsVariant get, type " + std::to_string(V_VT(&v)));
  LONG lo = -1, hi = -1;
  double* items = nullptr;
  if (V_VT(&v) == (VT_ARRAY | VT_R8)) {
    SafeArrayGetLBound(V_ARRAY(&v), 1, &lo);
    SafeArrayGetUBound(V_ARRAY(&v), 1, &hi);
    SafeArrayAccessData(V_ARRAY(&v), reinterpret_cast<void**>(&items));
  }
  Check(lo == 0 && hi == 3 && items && items[0] == 10 && items[3] == 40,
        how + ": AsVariant bounds " + std::to_string(lo) + ".." + std::to_string(hi));
  if (items) SafeArrayUnaccessData(V_ARRAY(&v));
  VariantClear(&v);

  EXCEPINFO error{};
  HRESULT hr = Call(object, 1, DISPATCH_PROPERTYPUT, {Long(-1)}, nullptr, &error);
  Check(hr == DISP_E_EXCEPTION && error.scode == E_INVALIDARG &&
            Narrow(error.bstrDescription) == "Count -1 is negative" &&
            Narrow(error.bstrSource) == "Quellar.DoubleArray",
        how + ": Count -1 raises " + Hex(hr) + " [" + Narrow(error.bstrDescription) + "]");
  SysFreeString(error.bstrSource);
  SysFreeString(error.bstrDescription);
  SysFreeString(error.bstrHelpFile);
}

// The apartment-threaded object is made in a host apartment and reached through proxies built
// from the registered type library.
void CheckFromMultithreadedApartment() {
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
  CheckDoubleArray(object, "proxy");
  object->Release();
}

// A programmatic-identifier key that exists but denies setting values makes registration fail
// with the registry message; unregistration removes the key again.
void CheckDeniedKey(HMODULE module) {
  HKEY key = nullptr;
  LONG rc = RegCreateKeyExA(HKEY_CLASSES_ROOT, "Quellar.ByteArray", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr);
  Check(rc == ERROR_SUCCESS, "create Quellar.ByteArray");
  PSECURITY_DESCRIPTOR sd = nullptr;
  // Everyone: KEY_SET_VALUE denied, everything else allowed.
  ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(D;;0x2;;;WD)(A;;KA;;;WD)",
                                                       SDDL_REVISION_1, &sd, nullptr);
  Check(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, sd) == ERROR_SUCCESS,
        "deny setting values on Quellar.ByteArray");
  LocalFree(sd);
  RegCloseKey(key);

  SetErrorInfo(0, nullptr);
  HRESULT hr = Entry<HRESULT(STDAPICALLTYPE*)()>(module, "DllRegisterServer")();
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

  hr = Entry<HRESULT(STDAPICALLTYPE*)()>(module, "DllUnregisterServer")();
  Check(hr == S_OK, "DllUnregisterServer after a failed registration " + Hex(hr));
  for (const char* progId : {"Quellar.Controller", "Quellar.MathProcessor", "Quellar.DoubleArray",
                             "Quellar.ByteArray"}) {
    rc = RegOpenKeyExA(HKEY_CLASSES_ROOT, progId, 0, KEY_READ, &key);
    if (rc == ERROR_SUCCESS) RegCloseKey(key);
    Check(rc == ERROR_FILE_NOT_FOUND, std::string(progId) + " removed");
  }
}

int Done() {
  CoUninitialize();
  std::printf(failures ? "%d failure(s)\n" : "PASS server_probe\n", failures);
  return failures ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc == 3 ? argv[2] : "";
  if (argc != 2 && mode != "--denied-key" && mode != "--mta") {
    std::printf("usage: server_probe <Quellar.dll> [--denied-key | --mta]\n");
    return 2;
  }
  const std::wstring dll(argv[1], argv[1] + std::string(argv[1]).size());
  CoInitializeEx(nullptr, mode == "--mta" ? COINIT_MULTITHREADED : COINIT_APARTMENTTHREADED);
  if (mode == "--mta") {
    CheckFromMultithreadedApartment();
    return Done();
  }
  HMODULE module = LoadLibraryW(dll.c_str());
  Check(module != nullptr, "LoadLibrary");
  if (!module) return 1;
  if (mode == "--denied-key") {
    CheckDeniedKey(module);
    return Done();
  }
  auto getClassObject =
      Entry<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(module, "DllGetClassObject");
  auto canUnload = Entry<HRESULT(STDAPICALLTYPE*)()>(module, "DllCanUnloadNow");

  // Every class has a factory; it serves IClassFactory but not IDispatch. The four client
  // classes are registered under their identifiers with the CLSID of the type library.
  const std::vector<CoClass> classes = CoClasses(dll);
  int registeredClasses = 0;
  for (const CoClass& c : classes) {
    IClassFactory* factory = nullptr;
    HRESULT hr = getClassObject(c.clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    Check(hr == S_OK && factory, "factory of " + c.name + " " + Hex(hr));
    if (factory) factory->Release();
    void* other = reinterpret_cast<void*>(1);
    hr = getClassObject(c.clsid, IID_IDispatch, &other);
    Check(hr == E_NOINTERFACE && other == nullptr, "factory of " + c.name + " lacks IDispatch");

    const std::wstring progId = L"Quellar." + std::wstring(c.name.begin(), c.name.end());
    CLSID registered{};
    if (CLSIDFromProgID(progId.c_str(), &registered) != S_OK) continue;
    Check(IsEqualCLSID(registered, c.clsid), "Quellar." + c.name + " registered with its CLSID");
    ++registeredClasses;
  }
  Check(registeredClasses == 4, std::to_string(registeredClasses) + " classes registered, not 4");
  void* none = reinterpret_cast<void*>(1);
  HRESULT hr = getClassObject(GUID_NULL, IID_IClassFactory, &none);
  Check(hr == CLASS_E_CLASSNOTAVAILABLE && none == nullptr, "unknown class " + Hex(hr));

  // DllCanUnloadNow follows live objects and server locks.
  Check(canUnload() == S_OK, "nothing alive: can unload");
  CLSID arrayId{};
  CLSIDFromProgID(L"Quellar.DoubleArray", &arrayId);
  IClassFactory* factory = nullptr;
  getClassObject(arrayId, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (factory) {
    IDispatch* object = nullptr;
    hr = factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&object));
    Check(hr == S_OK && object, "CreateInstance " + Hex(hr));
    Check(canUnload() == S_FALSE, "an object alive: cannot unload");
    if (object) {
      CheckDoubleArray(object, "direct");
      object->Release();
    }
    Check(canUnload() == S_OK, "object released: can unload");
    factory->LockServer(TRUE);
    Check(canUnload() == S_FALSE, "server locked: cannot unload");
    factory->LockServer(FALSE);
    Check(canUnload() == S_OK, "server unlocked: can unload");
    factory->Release();
  }
  return Done();
}
