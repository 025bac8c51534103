#include "automation/ConnectionPoint.h"

#include <utility>

namespace quellar::automation {

namespace {
constexpr Tag kTagFind = "{E9F9202D-DA2E-477A-B562-F1AB8DD709FF}";
constexpr Tag kTagFire = "{95BC72E2-F7C6-4EDB-A783-61D355EE6B77}";
constexpr Tag kTagQueryInterface = "{8C664244-13B1-46E6-AF66-1A034AB9C2F2}";
constexpr Tag kTagAdvise = "{6F5B300F-4497-4EF5-B82E-BE952ECB3EC1}";
constexpr Tag kTagUnadvise = "{9E3D5949-94D1-42A9-9E8D-90B09551A184}";
}  // namespace

TSingleConnectionPoint::TSingleConnectionPoint(IConnectionPointContainer* container,
                                               const InterfaceDesc& source,
                                               std::function<void(IDispatch*)> sinkChanged)
    : container_(container), source_(source), sinkChanged_(std::move(sinkChanged)) {}

TSingleConnectionPoint::~TSingleConnectionPoint() {
  if (sink_) sink_->Release();
}

HRESULT TSingleConnectionPoint::Find(REFIID riid, IConnectionPoint** point) {
  if (!point) return E_POINTER;
  *point = nullptr;
  return SafePlumbing(Source(), kTagFind, [&]() -> HRESULT {
    if (riid != *source_.iid) return CONNECT_E_NOCONNECTION;
    *point = this;
    AddRef();
    return S_OK;
  });
}

HRESULT TSingleConnectionPoint::Fire(DISPID id, std::vector<VARIANT> args, VARIANT* result) {
  return SafeCall(Source(), kTagFire, [&]() -> HRESULT {
    if (!sink_) return S_FALSE;
    IDispatch* sink = sink_;
    sink->AddRef();  // the handler may unadvise itself while it runs
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr,
                      static_cast<UINT>(reversed.size()), 0};
    const HRESULT hr = sink->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                                    result, nullptr, nullptr);
    sink->Release();
    return hr;
  });
}

HRESULT TSingleConnectionPoint::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  return SafePlumbing(Source(), kTagQueryInterface, [&]() -> HRESULT {
    if (riid != IID_IUnknown && riid != IID_IConnectionPoint) return E_NOINTERFACE;
    *ppv = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  });
}

// The point lives inside its container, so it counts on the container's references.
ULONG TSingleConnectionPoint::AddRef() {
  return container_->AddRef();
}
ULONG TSingleConnectionPoint::Release() {
  return container_->Release();
}

HRESULT TSingleConnectionPoint::GetConnectionInterface(IID* iid) {
  if (!iid) return E_POINTER;
  *iid = *source_.iid;
  return S_OK;
}

HRESULT TSingleConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** container) {
  if (!container) return E_POINTER;
  *container = container_;
  container_->AddRef();
  return S_OK;
}

HRESULT TSingleConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
  if (!cookie) return E_POINTER;
  *cookie = 0;
  return SafeCall(Source(), kTagAdvise, [&]() -> HRESULT {
    if (!sink) return E_POINTER;
    if (sink_) return CONNECT_E_ADVISELIMIT;
    void* typed = nullptr;
    if (FAILED(sink->QueryInterface(*source_.iid, &typed)) || !typed) {
      typed = nullptr;
      if (FAILED(sink->QueryInterface(IID_IDispatch, &typed)) || !typed)
        return CONNECT_E_CANNOTCONNECT;
    }
    sink_ = static_cast<IDispatch*>(typed);
    *cookie = kCookie;
    if (sinkChanged_) sinkChanged_(sink_);
    return S_OK;
  });
}

HRESULT TSingleConnectionPoint::Unadvise(DWORD cookie) {
  return SafeCall(Source(), kTagUnadvise, [&]() -> HRESULT {
    if (!sink_ || cookie != kCookie) return CONNECT_E_NOCONNECTION;
    IDispatch* sink = sink_;
    sink_ = nullptr;
    if (sinkChanged_) sinkChanged_(nullptr);
    sink->Release();
    return S_OK;
  });
}

HRESULT TSingleConnectionPoint::EnumConnections(IEnumConnections** connections) {
  if (connections) *connections = nullptr;
  return E_NOTIMPL;
}

}  // namespace quellar::automation
