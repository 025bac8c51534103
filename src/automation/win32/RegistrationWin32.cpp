// Registry registration of the in-process server: the type library embedded in the DLL and,
// for each class that clients may create, its class key, server path, threading model,
// programmatic identifier, type library and version.
#include <string>

#include "automation/ClassRegistry.h"
#include "automation/Registration.h"
#include "automation/com/ComBase.h"
#include "errors/Asserts.h"
#include "platform/Platform.h"

namespace quellar::automation {

namespace {

constexpr Tag kTagRegisterServer = "{7BC423C0-B170-44AD-9580-CC5C0FB800A5}";
constexpr Tag kTagUnregisterServer = "{7339554A-BA32-4D37-AA9E-CCCB54001509}";
constexpr Tag kTagWriteValue = "{392C780B-F3D9-46F4-9189-A117A5E23E78}";
constexpr Tag kTagDeleteKey = "{05196E17-A8C8-45D4-851F-71015F7DE06E}";
constexpr Tag kTagServerPath = "{635A8A2B-C000-4BB4-9B1F-5158233B3DA3}";
constexpr Tag kTagShortPath = "{BF102975-F137-4C92-830F-6DE5AEC11380}";
constexpr Tag kTagLibraryAttributes = "{AD362AB7-C249-45DE-8164-CD4A68E44495}";
constexpr Tag kTagLibraryIdentity = "{7F2C16CD-0C15-49E2-98BF-FF8C21BD20A3}";
constexpr Tag kTagUnregisterLibrary = "{DCAAA3A5-1E03-4ACC-B112-A515F62FB87A}";

constexpr char kCreateError[] = "Error creating system registry entry";
constexpr char kDeleteError[] = "Error deleting system registry entry";
constexpr char kTypeLibError[] = "Error loading the embedded type library";

// Registry form of a GUID, braces included, formatted from its value.
std::string GuidText(const GUID& guid) {
  wchar_t wide[40] = {};
  int n = StringFromGUID2(guid, wide, 40);
  std::string text;
  for (int i = 0; i + 1 < n; ++i) text += static_cast<char>(wide[i]);
  return text;
}

std::wstring Wide(const std::string& text) {
  int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 1), L'\0');
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), n);
  wide.resize(wide.size() - 1);
  return wide;
}

// The path written as the server: the full path, or its 8.3 form when the path has a blank.
std::string ServerPath(const std::string& path) {
  return Guarded(kTagServerPath, [&] {
    if (path.find(' ') == std::string::npos) return path;
    DWORD size = GetShortPathNameA(path.c_str(), nullptr, 0);
    std::string shortPath(size, '\0');
    DWORD n = size ? GetShortPathNameA(path.c_str(), shortPath.data(), size) : 0;
    if (!CheckWin32(n > 0 && n < size, kTagShortPath)) return path;
    shortPath.resize(n);
    return shortPath;
  });
}

// Creates HKCR\key when absent and sets one string value (nullptr names the default value).
void WriteValue(const std::string& key, const char* name, const std::string& value) {
  Guarded(kTagWriteValue, [&] {
    HKEY handle = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_SET_VALUE, nullptr, &handle, nullptr);
    if (rc == ERROR_SUCCESS) {
      rc = RegSetValueExA(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1));
      RegCloseKey(handle);
    }
    if (rc != ERROR_SUCCESS) Raise<EQuellarError>(kCreateError, HRESULT_FROM_WIN32(rc));
  });
}

// Removes HKCR\key with everything under it; a key that is already gone is fine.
void DeleteKey(const std::string& key) {
  Guarded(kTagDeleteKey, [&] {
    LONG rc = RegDeleteTreeA(HKEY_CLASSES_ROOT, key.c_str());
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
      Raise<EQuellarError>(kDeleteError, HRESULT_FROM_WIN32(rc));
  });
}

struct LibraryIdentity {
  GUID guid;
  WORD major;
  WORD minor;
  LCID lcid;
  SYSKIND kind;
};

// Loads the type library from the module's TYPELIB resource (registering it when asked) and
// returns its identity, which must be the one the code was built against.
LibraryIdentity LoadLibraryIdentity(const std::wstring& module, REGKIND kind) {
  return Guarded(kTagLibraryAttributes, [&] {
    ITypeLib* lib = nullptr;
    HRESULT hr = LoadTypeLibEx(module.c_str(), kind, &lib);
    if (FAILED(hr))
      Raise<EQuellarError>(kind == REGKIND_REGISTER ? kCreateError : kTypeLibError, hr);
    TLIBATTR* attr = nullptr;
    hr = lib->GetLibAttr(&attr);
    if (FAILED(hr)) {
      lib->Release();
      Raise<EQuellarError>(kTypeLibError, hr);
    }
    LibraryIdentity id{attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid,
                       attr->syskind};
    lib->ReleaseTLibAttr(attr);
    lib->Release();
    CheckIntegrity(IsEqualGUID(id.guid, TypeLibId()) != 0, kTagLibraryIdentity);
    return id;
  });
}

void UnregisterLibrary(const LibraryIdentity& id) {
  Guarded(kTagUnregisterLibrary, [&] {
    BSTR registered = nullptr;
    if (FAILED(QueryPathOfRegTypeLib(id.guid, id.major, id.minor, id.lcid, &registered)))
      return;  // not registered: nothing to remove
    SysFreeString(registered);
    HRESULT hr = UnRegisterTypeLib(id.guid, id.major, id.minor, id.lcid, id.kind);
    if (FAILED(hr)) Raise<EQuellarError>(kDeleteError, hr);
  });
}

}  // namespace

HRESULT RegisterServer() {
  return Guarded(kTagRegisterServer, [&] {
    const std::string module = platform::ModuleFileName();
    const LibraryIdentity library = LoadLibraryIdentity(Wide(module), REGKIND_REGISTER);
    const std::string server = ServerPath(module);
    const std::string libraryId = GuidText(library.guid);
    const std::string version = std::to_string(library.major) + "." + std::to_string(library.minor);
    for (const ClassEntry& entry : CreatableClasses()) {
      const std::string classId = GuidText(*entry.clsid);
      const std::string classKey = "CLSID\\" + classId;
      WriteValue(classKey, nullptr, entry.description);
      WriteValue(classKey + "\\InprocServer32", nullptr, server);
      WriteValue(classKey + "\\InprocServer32", "ThreadingModel", "Apartment");
      WriteValue(entry.progId, nullptr, entry.description);
      WriteValue(std::string(entry.progId) + "\\Clsid", nullptr, classId);
      WriteValue(classKey + "\\ProgID", nullptr, entry.progId);
      WriteValue(classKey + "\\TypeLib", nullptr, libraryId);
      WriteValue(classKey + "\\Version", nullptr, version);
    }
    return S_OK;
  });
}

HRESULT UnregisterServer() {
  return Guarded(kTagUnregisterServer, [&] {
    for (const ClassEntry& entry : CreatableClasses()) DeleteKey(entry.progId);
    for (const ClassEntry& entry : CreatableClasses())
      DeleteKey("CLSID\\" + GuidText(*entry.clsid));
    UnregisterLibrary(LoadLibraryIdentity(Wide(platform::ModuleFileName()), REGKIND_NONE));
    return S_OK;
  });
}

}  // namespace quellar::automation
