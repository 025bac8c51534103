#include "automation/objects/ChildObject.h"

#include <cstdio>

#include "automation/Bstr.h"

namespace quellar::automation {

void CheckCall(HRESULT hr, const char* what) {
  if (SUCCEEDED(hr)) return;
  std::string description;
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) == S_OK && info) {
    BSTR text = nullptr;
    if (SUCCEEDED(info->GetDescription(&text))) description = FromBstr(text);
    SysFreeString(text);
    info->Release();
  }
  if (description.empty()) {
    char text[160];
    std::snprintf(text, sizeof text, "%s failed with status 0x%08X", what,
                  static_cast<unsigned>(hr));
    description = text;
  }
  Raise(description, static_cast<int32_t>(hr));
}

}  // namespace quellar::automation
