// Checks Quellar.dll through the real ole32/oleaut32 (run under Wine by scripts/stage-wine.sh):
// the embedded type library, the class factories of all nine classes, DllCanUnloadNow, and
// creation through the registry. Usage: server_probe <path of Quellar.dll> [--denied-key]
// With --denied-key (run while the server is not registered) it checks instead that registration
// fails with the library's message when a key cannot be written, and that unregistration then
// cleans up.
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
  const bool deniedKey = argc == 3 && std::string(argv[2]) == "--denied-key";
  if (argc != 2 && !deniedKey) {
    std::printf("usage: server_probe <Quellar.dll> [--denied-key]\n");
    return 2;
  }
  std::wstring dll(argv[1], argv[1] + std::string(argv[1]).size());
  CoInitialize(nullptr);

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
