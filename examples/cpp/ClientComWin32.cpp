#include <windows.h>
// windows.h comes first
#include <objbase.h>

#include <string>

#include "ClientCom.h"

bool ClientStart() {
  return SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
}
void ClientStop() {
  CoUninitialize();
}
HRESULT ClientCreate(const char* progId, REFIID riid, void** object) {
  const std::wstring name(progId, progId + std::string(progId).size());
  CLSID clsid{};
  const HRESULT hr = CLSIDFromProgID(name.c_str(), &clsid);
  if (FAILED(hr)) return hr;
  return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, riid, object);
}
