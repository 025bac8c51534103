// Checks the Windows side of the library under Wine (scripts/stage-wine.sh). Usage:
//   server_probe <path of Quellar.dll> [--denied-key | --mta]
//   server_probe --serial <port> <absent port>
// Quellar.dll through the real ole32/oleaut32: without a mode, a custom fit whose model is this
// program's own event sink; --mta reaches a DoubleArray through proxies; --denied-key (run
// unregistered) makes registration fail on a key that cannot be written. --serial runs the Win32
// serial transport against serial_peer.py, an echoing pseudo-terminal that Wine maps to the port.
#include <windows.h>
// windows.h comes first
#include <objbase.h>
#include <ocidl.h>
#include <oleauto.h>
#include <sddl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "device/DrvConnection.h"
#include "platform/Clock.h"

namespace {

const IID kIMathProcessorEvents = {
    0xCD9274D1, 0xA726, 0x4E4F, {0x82, 0x17, 0xAF, 0x2F, 0xBA, 0x07, 0x4D, 0x29}};

int failures = 0;

template <class... Args>
void Check(bool condition, const char* format, Args... args) {
  if (condition) return;
  ++failures;
  std::printf(("FAIL " + std::string(format) + "\n").c_str(), args...);
}

// GetProcAddress answers a generic function pointer; go through void* to the real type.
template <class F>
F Entry(HMODULE module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

VARIANT Real(double value) {
  VARIANT v{};
  V_VT(&v) = VT_R8;
  V_R8(&v) = value;
  return v;
}

VARIANT Object(IDispatch* value) {
  VARIANT v{};
  V_VT(&v) = VT_DISPATCH;
  V_DISPATCH(&v) = value;
  return v;
}

// Invoke with the arguments in call order (DISPPARAMS wants them reversed).
HRESULT Call(IDispatch* object, DISPID id, WORD flags, std::vector<VARIANT> args,
             VARIANT* result = nullptr) {
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPID put = DISPID_PROPERTYPUT;
  const bool isPut = flags == DISPATCH_PROPERTYPUT;
  DISPPARAMS params{reversed.data(), isPut ? &put : nullptr, static_cast<UINT>(reversed.size()),
                    isPut ? 1u : 0u};
  if (result) VariantInit(result);
  return object->Invoke(id, IID_NULL, 0x409, flags, &params, result, nullptr, nullptr);
}

// DoubleArray members: Item is DISPID 0, Count 1, AsVariant 2.
double Item(IDispatch* array, LONG index) {
  VARIANT v;
  Call(array, DISPID_VALUE, DISPATCH_PROPERTYGET, {Real(index)}, &v);
  return V_VT(&v) == VT_R8 ? V_R8(&v) : NAN;
}

IDispatch* Create(const wchar_t* progId) {
  CLSID clsid{};
  IDispatch* object = nullptr;
  if (CLSIDFromProgID(progId, &clsid) == S_OK)
    CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                     reinterpret_cast<void**>(&object));
  return object;
}

IDispatch* Array(std::initializer_list<double> values) {
  IDispatch* array = Create(L"Quellar.DoubleArray");
  Call(array, 1, DISPATCH_PROPERTYPUT, {Real(static_cast<double>(values.size()))});
  LONG i = 0;
  for (double value : values)
    Call(array, DISPID_VALUE, DISPATCH_PROPERTYPUT, {Real(i++), Real(value)});
  return array;
}

// The model of the custom fit, y = c0 + c1 x: GetExpressionValue(X, Coeffs, Derivs) is DISPID 1.
struct LineSink : IDispatch {
  ULONG refs = 1;
  long events = 0;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    const bool known =
        riid == IID_IUnknown || riid == IID_IDispatch || riid == kIMathProcessorEvents;
    *out = known ? this : nullptr;
    if (known) AddRef();
    return known ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT* result,
                                   EXCEPINFO*, UINT*) override {
    if (id != 1 || p->cArgs != 3 || !result || V_VT(&p->rgvarg[2]) != VT_R8 ||
        V_VT(&p->rgvarg[1]) != VT_DISPATCH || V_VT(&p->rgvarg[0]) != VT_DISPATCH)
      return DISP_E_BADPARAMCOUNT;
    ++events;
    const double x = V_R8(&p->rgvarg[2]);
    IDispatch *c = V_DISPATCH(&p->rgvarg[1]), *d = V_DISPATCH(&p->rgvarg[0]);
    Call(d, DISPID_VALUE, DISPATCH_PROPERTYPUT, {Real(0), Real(1)});
    Call(d, DISPID_VALUE, DISPATCH_PROPERTYPUT, {Real(1), Real(x)});
    *result = Real(Item(c, 0) + Item(c, 1) * x);
    return S_OK;
  }
};

// The apartment-threaded DoubleArray lives in a host apartment, reached through proxies built
// from the registered type library. A safe array with a lower bound of 1 (scripts cannot make
// one, and Wine's cannot read bounds) gives its items from 0.
void CheckFromMultithreadedApartment() {
  IDispatch* object = Create(L"Quellar.DoubleArray");
  IUnknown* security = nullptr;
  if (object) object->QueryInterface(IID_IClientSecurity, reinterpret_cast<void**>(&security));
  Check(security != nullptr, "a DoubleArray reached through a proxy");
  if (!security) return;
  security->Release();
  SAFEARRAYBOUND bound{4, 1};
  VARIANT v{};
  V_VT(&v) = VT_ARRAY | VT_R8;
  V_ARRAY(&v) = SafeArrayCreate(VT_R8, 1, &bound);
  for (LONG i = 1; i <= 4; ++i) {
    double item = 10.0 * i;
    SafeArrayPutElement(V_ARRAY(&v), &i, &item);
  }
  Check(Call(object, 2, DISPATCH_PROPERTYPUT, {v}) == S_OK, "AsVariant put");
  VariantClear(&v);
  Call(object, 2, DISPATCH_PROPERTYGET, {}, &v);
  LONG lo = -1, hi = -1;
  if (V_VT(&v) == (VT_ARRAY | VT_R8)) {
    SafeArrayGetLBound(V_ARRAY(&v), 1, &lo);
    SafeArrayGetUBound(V_ARRAY(&v), 1, &hi);
  }
  Check(lo == 0 && hi == 3 && Item(object, 0) == 10 && Item(object, 3) == 40,
        "AsVariant bounds %ld..%ld", lo, hi);
  VariantClear(&v);
  object->Release();
}

// A programmatic-identifier key that denies setting values makes registration fail with the
// registry message; unregistration removes the key again.
void CheckDeniedKey(const char* dll) {
  HMODULE module = LoadLibraryA(dll);
  Check(module != nullptr, "LoadLibrary");
  if (!module) return;
  HKEY key = nullptr;
  RegCreateKeyExA(HKEY_CLASSES_ROOT, "Quellar.ByteArray", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                  &key, nullptr);
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
  Check(hr == HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), "DllRegisterServer gave 0x%08lX", hr);
  IErrorInfo* info = nullptr;
  BSTR description = nullptr;
  if (GetErrorInfo(0, &info) == S_OK && info) {
    info->GetDescription(&description);
    info->Release();
  }
  Check(description && std::wstring(description) == L"Error creating system registry entry",
        "error description [%ls]", description ? description : L"");
  SysFreeString(description);

  hr = Entry<HRESULT(STDAPICALLTYPE*)()>(module, "DllUnregisterServer")();
  Check(hr == S_OK, "DllUnregisterServer after a failed registration gave 0x%08lX", hr);
  const LONG rc = RegOpenKeyExA(HKEY_CLASSES_ROOT, "Quellar.ByteArray", 0, KEY_READ, &key);
  if (rc == ERROR_SUCCESS) RegCloseKey(key);
  Check(rc == ERROR_FILE_NOT_FOUND, "the denied key was left behind");
}

void CheckCustomFit() {
  IDispatch* math = Create(L"Quellar.MathProcessor");
  IConnectionPointContainer* container = nullptr;
  IConnectionPoint* point = nullptr;
  if (math)
    math->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
  if (container) container->FindConnectionPoint(kIMathProcessorEvents, &point);
  Check(point != nullptr, "the MathProcessor's connection point");
  if (!point) return;
  LineSink sink;
  DWORD cookie = 0;
  Check(point->Advise(&sink, &cookie) == S_OK, "Advise");
  IDispatch *x = Array({0, 1, 2, 3}), *y = Array({1, 3, 5, 7}), *c = Array({0.5, 0.5});
  IDispatch *lo = Array({-10, -10}), *hi = Array({10, 10});
  auto fit = [&] {  // RegressionCustom is DISPID 11
    VARIANT ok;
    return Call(math, 11, DISPATCH_METHOD,
                {Object(x), Object(y), Real(0), Real(2), Object(lo), Object(hi), Object(c)},
                &ok) == S_OK &&
           V_VT(&ok) == VT_BOOL && V_BOOL(&ok) == VARIANT_TRUE;
  };
  Check(fit(), "RegressionCustom");
  Check(std::fabs(Item(c, 0) - 1) < 1e-6 && std::fabs(Item(c, 1) - 2) < 1e-6, "coefficients %g %g",
        Item(c, 0), Item(c, 1));
  Check(point->Unadvise(cookie) == S_OK && sink.refs == 1, "Unadvise releases the sink");
  const long events = sink.events;
  Check(!fit() && sink.events == events, "no sink, no fit");
  for (IUnknown* u : std::initializer_list<IUnknown*>{x, y, c, lo, hi, point, container, math})
    u->Release();
}

// Reads until count bytes arrived or the deadline passed; waits for input in between.
int ReadAll(quellar::device::TDriverHardwareRS232& port, uint8_t* buffer, int count,
            uint32_t deadlineMs) {
  auto& clock = quellar::platform::GetClock();
  const uint32_t start = clock.Ticks();
  int got = 0;
  while (got < count && quellar::platform::Elapsed(start, clock.Ticks()) < deadlineMs) {
    port.WaitInput(100);
    got += port.Read(buffer + got, count - got);
  }
  return got;
}

void CheckSerialTransport(const std::string& portName, const std::string& absentName) {
  const std::string params = "DRIVER_COMPORT=" + portName;
  auto& clock = quellar::platform::GetClock();
  quellar::device::TDriverHardwareRS232 port, second;
  Check(!port.Open("DRIVER_COMPORT=" + absentName) && !port.Active(), "a port that is not there");
  Check(port.Open(params) && port.Active(), "open %s", params.c_str());
  if (!port.Active()) return;

  // Every byte value crosses the line unchanged: raw 8-bit, no flow-control characters eaten.
  uint8_t all[256], back[256] = {};
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  Check(port.Write(all, 256), "write 256 bytes");
  const int got = ReadAll(port, back, 256, 5000);
  Check(got == 256 && std::equal(all, all + 256, back), "echo of 256 bytes, got %d", got);

  // Purge drops what is queued.
  Check(port.Write(all, 16) && ReadAll(port, back, 1, 2000) == 1, "echo queued");
  clock.Sleep(300);
  port.Purge();
  Check(port.Read(back, 64) == 0, "nothing to read after Purge");

  // A wait without input keeps its bound (under Wine it may even come back at once).
  const uint32_t start = clock.Ticks();
  port.WaitInput(300);
  Check(quellar::platform::Elapsed(start, clock.Ticks()) < 1500, "WaitInput(300) outlasted it");
  Check(port.Read(back, 64) == 0, "Read with nothing queued gives 0 at once");

  port.Close();
  Check(!port.Active() && !port.Write(all, 1), "no write on a closed port");
  Check(second.Open(params), "open again once released");
  Check(second.Write(all + 65, 1) && ReadAll(second, back, 1, 3000) == 1 && back[0] == 65,
        "echo after reopening");
  second.Close();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string first = argc > 1 ? argv[1] : "", mode = argc == 3 ? argv[2] : "";
  if (first == "--serial" && argc == 4) {
    CheckSerialTransport(argv[2], argv[3]);
  } else if (argc == 2 || mode == "--denied-key" || mode == "--mta") {
    CoInitializeEx(nullptr, mode == "--mta" ? COINIT_MULTITHREADED : COINIT_APARTMENTTHREADED);
    if (mode == "--mta")
      CheckFromMultithreadedApartment();
    else if (mode == "--denied-key")
      CheckDeniedKey(argv[1]);
    else
      CheckCustomFit();
    CoUninitialize();
  } else {
    std::printf(
        "usage: server_probe <Quellar.dll> [--denied-key | --mta]\n"
        "       server_probe --serial <port> <absent port>\n");
    return 2;
  }
  std::printf(failures ? "%d failure(s)\n" : "PASS server_probe\n", failures);
  return failures ? 1 : 0;
}
