#pragma once
// The automation object base: reference counting, interface queries, late binding from the
// generated member tables, ISupportErrorInfo, and SafeCall, the one boundary helper that every
// exported method runs its body in.
#include <atomic>
#include <string_view>
#include <type_traits>

#include "automation/DispatchTables.h"
#include "automation/Quellar_TLB.h"
#include "automation/TypeInfoSource.h"
#include "automation/com/ComBase.h"
#include "errors/Asserts.h"

namespace quellar::automation {

template <>
struct InterfaceId<IUnknown> {
  static const IID& Get() { return IID_IUnknown; }
};
template <>
struct InterfaceId<IDispatch> {
  static const IID& Get() { return IID_IDispatch; }
};
template <>
struct InterfaceId<ISupportErrorInfo> {
  static const IID& Get() { return IID_ISupportErrorInfo; }
};
template <>
struct InterfaceId<IConnectionPointContainer> {
  static const IID& Get() { return IID_IConnectionPointContainer; }
};
template <>
struct InterfaceId<IObjectSafety> {
  static const IID& Get() { return IID_IObjectSafety; }
};

// Live objects and server locks of the whole library, shared by all apartments.
namespace server {
void ObjectCreated() noexcept;
void ObjectDestroyed() noexcept;
void Lock() noexcept;
void Unlock() noexcept;
long ObjectCount() noexcept;
long LockCount() noexcept;
bool CanUnload() noexcept;
}  // namespace server

// Who reports a failure: the object's programmatic identifier and the interface.
struct ErrorSource {
  const char* progId;
  const IID* iid;
};

// Sets the thread's error information and returns status.
HRESULT Fail(const ErrorSource& source, HRESULT status, std::string_view description) noexcept;
// Converts the exception being handled into a status code and error information:
// EQuellarError::Status() when it carries one, otherwise E_UNEXPECTED.
HRESULT StatusOfCurrentException(const ErrorSource& source) noexcept;

// Runs an exported method's body: clears the thread's error information, runs the body under
// the per-routine guard with the method's tag, and turns an escaping exception into the status
// code and error information. The body returns void (success) or an HRESULT.
template <bool kClearErrorInfo = true, class Body>
HRESULT SafeCall(const ErrorSource& source, Tag tag, Body&& body) noexcept {
  if constexpr (kClearErrorInfo) SetErrorInfo(0, nullptr);
  try {
    if constexpr (std::is_void_v<std::invoke_result_t<Body&>>) {
      Guarded(tag, body);
      return S_OK;
    } else {
      return Guarded(tag, body);
    }
  } catch (...) {
    return StatusOfCurrentException(source);
  }
}

// The same for the plumbing calls (interface queries, name lookups, error-information
// queries) that must leave the error information of the previous call for the client.
template <class Body>
HRESULT SafePlumbing(const ErrorSource& source, Tag tag, Body&& body) noexcept {
  return SafeCall<false>(source, tag, std::forward<Body>(body));
}

// Late binding over one interface's member table.
HRESULT DispatchGetIDsOfNames(const InterfaceDesc& itf, REFIID riid, LPOLESTR* names, UINT count,
                              DISPID* ids);
HRESULT DispatchInvoke(const InterfaceDesc& itf, const ErrorSource& source, IDispatch* self,
                       DISPID id, REFIID riid, WORD flags, DISPPARAMS* params, VARIANT* result,
                       EXCEPINFO* excepInfo, UINT* argErr);

namespace tags {
inline constexpr Tag kQueryInterface = "{B9A5B0DB-618C-4F19-A5D1-22A68243EA61}";
inline constexpr Tag kGetTypeInfoCount = "{2B93F35E-DFD1-4358-9DB3-B31EA7867DB4}";
inline constexpr Tag kGetTypeInfo = "{DC59201C-C640-4E97-BC1F-1EA75B38B7C6}";
inline constexpr Tag kGetIDsOfNames = "{CDC2499E-52FD-4ADE-A36A-011A2CBB6772}";
inline constexpr Tag kInvoke = "{9D8AE9DC-314D-49EC-B5B9-98724F8D8FC8}";
inline constexpr Tag kSupportsErrorInfo = "{275D39EA-422A-4AFF-9719-87214AE0A49D}";
}  // namespace tags

// Base of every automation class: Itf is the default (dual) interface, Extra the further
// interfaces the object answers to (non-dispatch ones like IDoubleArrayData, or
// IConnectionPointContainer for objects with events).
template <class Itf, class... Extra>
class TAutoObject : public Itf, public ISupportErrorInfo, public Extra... {
 public:
  TAutoObject(const TAutoObject&) = delete;
  TAutoObject& operator=(const TAutoObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    return SafePlumbing(Source(), tags::kQueryInterface, [&]() -> HRESULT {
      if (riid == IID_IUnknown || riid == IID_IDispatch || riid == InterfaceId<Itf>::Get()) {
        *ppv = static_cast<Itf*>(this);
      } else if (riid == IID_ISupportErrorInfo) {
        *ppv = static_cast<ISupportErrorInfo*>(this);
      } else if (!((riid == InterfaceId<Extra>::Get() ? (*ppv = static_cast<Extra*>(this), true)
                                                      : false) ||
                   ...)) {
        return E_NOINTERFACE;
      }
      AddRef();
      return S_OK;
    });
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    return refs_.fetch_add(1, std::memory_order_relaxed) + 1;
  }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override {
    if (!pctinfo) return E_POINTER;
    return SafePlumbing(Source(), tags::kGetTypeInfoCount, [&] {
      ITypeInfo* info = nullptr;
      *pctinfo = SUCCEEDED(LoadTypeInfo(InterfaceId<Itf>::Get(), &info)) && info ? 1 : 0;
      if (info) info->Release();
    });
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    return SafePlumbing(Source(), tags::kGetTypeInfo, [&]() -> HRESULT {
      if (index != 0) return DISP_E_BADINDEX;
      return LoadTypeInfo(InterfaceId<Itf>::Get(), out);
    });
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    return SafePlumbing(Source(), tags::kGetIDsOfNames, [&] {
      return DispatchGetIDsOfNames(InterfaceId<Itf>::Desc(), riid, names, count, ids);
    });
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) override {
    return SafeCall(Source(), tags::kInvoke, [&] {
      return DispatchInvoke(InterfaceId<Itf>::Desc(), Source(), static_cast<Itf*>(this), id, riid,
                            flags, params, result, excepInfo, argErr);
    });
  }

  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override {
    return SafePlumbing(Source(), tags::kSupportsErrorInfo, [&]() -> HRESULT {
      return riid == InterfaceId<Itf>::Get() ? S_OK : S_FALSE;
    });
  }

 protected:
  explicit TAutoObject(const char* progId) : progId_(progId) { server::ObjectCreated(); }
  virtual ~TAutoObject() { server::ObjectDestroyed(); }

  ErrorSource Source() const { return {progId_, &InterfaceId<Itf>::Get()}; }
  template <class Body>
  HRESULT Call(Tag tag, Body&& body) noexcept {
    return SafeCall(Source(), tag, std::forward<Body>(body));
  }
  HRESULT Failure(HRESULT status, std::string_view description) const noexcept {
    return Fail(Source(), status, description);
  }

 private:
  std::atomic<ULONG> refs_{1};
  const char* progId_;
};

// Creates an object of class T (constructed with one reference) and queries it for riid.
template <class T>
HRESULT CreateAndQuery(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  T* object = new (std::nothrow) T();
  if (!object) return E_OUTOFMEMORY;
  const HRESULT hr = object->QueryInterface(riid, ppv);
  object->Release();
  return hr;
}

}  // namespace quellar::automation
