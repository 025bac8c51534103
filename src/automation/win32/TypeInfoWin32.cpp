// Type information for IDispatch comes from the type library embedded in the DLL itself, so
// late binding works whether or not the library is registered.
#include <string>

#include "automation/TypeInfoSource.h"
#include "automation/com/ComBase.h"
#include "errors/Asserts.h"
#include "platform/Platform.h"

namespace quellar::automation {

namespace {

constexpr Tag kTagLoadTypeInfo = "{A7644071-B3DE-4185-BFB4-9C1CAE8C0429}";

struct EmbeddedLibrary {
  ITypeLib* lib = nullptr;
  HRESULT status = E_UNEXPECTED;

  EmbeddedLibrary() {
    const std::string path = platform::ModuleFileName();
    int n = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(n > 0 ? n : 1), L'\0');
    if (n > 0) MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), n);
    status = LoadTypeLibEx(wide.c_str(), REGKIND_NONE, &lib);
  }
};

}  // namespace

HRESULT LoadTypeInfo(REFIID iid, ITypeInfo** info) {
  return Guarded(kTagLoadTypeInfo, [&]() -> HRESULT {
    if (!info) return E_POINTER;
    *info = nullptr;
    // Loaded once per process and kept until it ends: releasing it while the DLL unloads
    // could call into an oleaut32 that is already gone.
    static EmbeddedLibrary embedded;
    if (FAILED(embedded.status)) return embedded.status;
    return embedded.lib->GetTypeInfoOfGuid(iid, info);
  });
}

}  // namespace quellar::automation
