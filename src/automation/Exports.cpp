// The library's exported entry points.
#include <forward_list>
#include <mutex>
#include <string>
#include <utility>

#include "automation/AutoObject.h"
#include "automation/ClassRegistry.h"
#include "automation/Quellar.h"
#include "automation/Registration.h"
#include "device/DrvTrace.h"
#include "platform/Platform.h"

using namespace quellar;
using namespace quellar::automation;

namespace {
constexpr Tag kTagGetClassObject = "{7E3A4FE2-B3A2-4D71-A2C1-A856B87C11AB}";
constexpr Tag kTagRegisterServer = "{EAFF15C4-4668-4881-B0B2-A4091CACFCFA}";
constexpr Tag kTagUnregisterServer = "{61DCD909-44C9-45DF-9AF3-77952C190628}";
constexpr Tag kTagCreateObject = "{600B7A5B-0DAC-4108-902D-FC05CCE923EE}";
constexpr ErrorSource kServer{"Quellar", &IID_IClassFactory};
}  // namespace

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  return SafeCall(kServer, kTagGetClassObject, [&]() -> HRESULT {
    IClassFactory* factory = FactoryOf(rclsid);
    if (!factory) return CLASS_E_CLASSNOTAVAILABLE;
    return factory->QueryInterface(riid, ppv);
  });
}

STDAPI DllCanUnloadNow(void) {
  return server::CanUnload() ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer(void) {
  return SafeCall(kServer, kTagRegisterServer, [] { return RegisterServer(); });
}

STDAPI DllUnregisterServer(void) {
  return SafeCall(kServer, kTagUnregisterServer, [] { return UnregisterServer(); });
}

STDAPI QuellarCreateObject(const char* progIdOrClsid, const IID* riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!progIdOrClsid || !riid) return E_INVALIDARG;
  return SafeCall(kServer, kTagCreateObject, [&]() -> HRESULT {
    const ClassEntry* entry = FindCreatableClass(progIdOrClsid);
    if (!entry) return REGDB_E_CLASSNOTREG;
    return CreateInstance(*entry->desc->clsid, *riid, ppv);
  });
}

extern "C" void QuellarSetReportHandler(QuellarReportHandler handler, void* context) {
  if (!handler) {
    platform::SetReportHandler(nullptr);
    return;
  }
  platform::SetReportHandler(
      [handler, context](const std::string& caption, const std::string& message) {
        return handler(caption.c_str(), message.c_str(), context) ? platform::DialogAnswer::Yes
                                                                  : platform::DialogAnswer::No;
      });
}

namespace {
using TraceTarget = std::pair<QuellarTraceHandler, void*>;

void ForwardTrace(const device::TDriverTraceEvent& event, void* context) {
  const auto* target = static_cast<const TraceTarget*>(context);
  const QuellarTraceEvent out{static_cast<int>(event.Kind),
                              event.Code,
                              event.Length,
                              event.Bytes,
                              event.Attempt,
                              event.TimeoutMs};
  target->first(&out, target->second);
}
}  // namespace

extern "C" void QuellarSetTraceHandler(QuellarTraceHandler handler, void* context) {
  if (!handler) {
    device::SetTraceHandler(nullptr, nullptr);
    return;
  }
  // Each target a host sets is kept for the process's life: a call in flight on another
  // thread may still read the one replaced. Hosts set few.
  static std::mutex mutex;
  static std::forward_list<TraceTarget> targets;
  std::lock_guard<std::mutex> lock(mutex);
  const TraceTarget wanted{handler, context};
  const TraceTarget* target = nullptr;
  for (const TraceTarget& t : targets)
    if (t == wanted) target = &t;
  if (!target) target = &targets.emplace_front(wanted);
  device::SetTraceHandler(&ForwardTrace, const_cast<TraceTarget*>(target));
}
