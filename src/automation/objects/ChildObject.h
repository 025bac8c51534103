#pragma once
// What a controller's children share with it, and the base they build on. The controller
// owns the device stack; a child keeps only a shared link that the controller empties when it
// goes, so a child a client kept afterwards fails cleanly instead of reaching freed memory.
#include <memory>
#include <string_view>
#include <utility>

#include "automation/AutoObject.h"
#include "device/DrvController.h"

namespace quellar::automation {

class TQuellarController;

struct TDeviceLink {
  device::TDriverController* Driver = nullptr;
  TQuellarController* Controller = nullptr;  // the tuning object works through it
  bool Released = false;
};
using DeviceLinkPtr = std::shared_ptr<TDeviceLink>;

inline constexpr std::string_view kControllerReleasedText = "the controller was released";
inline constexpr std::string_view kNoControllerText =
    "the object was not made by a controller and has no device";

// A child object: made by the controller with its link, or by its class factory without one
// (then every method fails).
template <class Itf>
class TChildObject : public TAutoObject<Itf> {
 public:
  TChildObject(const char* progId, DeviceLinkPtr link)
      : TAutoObject<Itf>(progId), link_(std::move(link)) {}

 protected:
  // A method that needs the device: body(driver). After the controller's release it fails
  // with RPC_E_DISCONNECTED and no report (the client's order of releases, not our fault).
  template <class Body>
  HRESULT DeviceCall(Tag tag, Body&& body) noexcept {
    if (link_ && link_->Released) return this->Failure(RPC_E_DISCONNECTED, kControllerReleasedText);
    return this->Call(tag, [&] { return body(*RequireLink().Driver); });
  }
  // A method that works on the object's own data, with or without the device.
  template <class Body>
  HRESULT OwnCall(Tag tag, Body&& body) noexcept {
    return this->Call(tag, [&] {
      RequireLink();
      return body();
    });
  }
  TDeviceLink& RequireLink() {
    if (!link_) Raise(std::string(kNoControllerText));
    return *link_;
  }

 private:
  DeviceLinkPtr link_;
};

// Raises EQuellarError carrying a failed call's status and the description of the error
// information it left (what names the call when there is none).
void CheckCall(HRESULT hr, const char* what);

// Holds one counted reference.
template <class T>
class TOwnedRef {
 public:
  TOwnedRef() = default;
  ~TOwnedRef() { Reset(); }
  TOwnedRef(const TOwnedRef&) = delete;
  TOwnedRef& operator=(const TOwnedRef&) = delete;
  TOwnedRef(TOwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  // Takes over a reference (the one an object is created with, or one handed out to us).
  void Adopt(T* object) {
    Reset();
    object_ = object;
  }
  // For a call that hands out a reference.
  T** Out() {
    Reset();
    return &object_;
  }
  void Reset() {
    if (T* object = std::exchange(object_, nullptr)) object->Release();
  }
  T* get() const { return object_; }
  T* operator->() const { return object_; }

 private:
  T* object_ = nullptr;
};

// The class-factory create function of a child class: an object without a link.
template <class T>
HRESULT CreateDetached(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  T* object = new (std::nothrow) T(nullptr);
  if (!object) return E_OUTOFMEMORY;
  const HRESULT hr = object->QueryInterface(riid, ppv);
  object->Release();
  return hr;
}

}  // namespace quellar::automation
