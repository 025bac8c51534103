#include "automation/objects/PrtController.h"

#include <cstdio>

#include "automation/objects/PrtAnalysis.h"
#include "automation/objects/PrtCompiler.h"
#include "automation/objects/PrtManager.h"
#include "automation/objects/PrtState.h"
#include "automation/objects/PrtTuning.h"

namespace quellar::automation {

namespace {
constexpr const char* kProgId = "Quellar.Controller";
constexpr Tag kTagCreate = "{1F8E75C7-6B03-4CC7-9C2B-147C4CA6F5C8}";
constexpr Tag kTagDestroy = "{91B7E471-87CC-4283-BB7F-E346190390DB}";
constexpr Tag kTagCompiler = "{AF699CD9-3171-4436-928E-BE0EA21C53FD}";
constexpr Tag kTagState = "{EC231C4A-B029-4464-B60F-AEB942641635}";
constexpr Tag kTagManager = "{EC9DBD86-DD91-4421-94EB-C5EE3D08D9A5}";
constexpr Tag kTagAnalysis = "{6652230B-9C82-48CE-9EC9-F72627FAB2D6}";
constexpr Tag kTagTuning = "{AE7707E8-6FC5-4240-B584-F4D474445DCE}";
constexpr Tag kTagActive = "{BCB15749-4959-40F4-8F37-B78FEF505479}";
constexpr Tag kTagOpen = "{3BB51CA6-1C3B-4D03-B17A-D76B112072FC}";
constexpr Tag kTagClose = "{24309DD7-D3B9-4887-A05F-66AEF4B3522A}";

// A new counted reference to a child, through its default interface.
template <class Itf, class T>
HRESULT HandOut(const TOwnedRef<T>& child, Itf** out) {
  *out = static_cast<Itf*>(child.get());
  (*out)->AddRef();
  return S_OK;
}
}  // namespace

TQuellarController::TQuellarController()
    : TQuellarController(std::make_unique<device::TDriverHardwareRS232>()) {}

TQuellarController::TQuellarController(std::unique_ptr<device::TDriverHardwareBase> hardware)
    : TAutoObject(kProgId), hardware_(std::move(hardware)) {
  Guarded(kTagCreate, [&] {
    driver_ = std::make_unique<device::TDriverController>(hardware_.get());
    link_ = std::make_shared<TDeviceLink>();
    link_->Driver = driver_.get();
    link_->Controller = this;
    // Each child starts with the one reference the controller keeps.
    state_.Adopt(new TQuellarState(link_));
    manager_.Adopt(new TQuellarManager(link_));
    compiler_.Adopt(new TQuellarCompiler(link_));
    analysis_.Adopt(new TQuellarAnalysis(link_));
    tuning_.Adopt(new TQuellarTuning(link_));
  });
}

TQuellarController::~TQuellarController() {
  try {
    Guarded(kTagDestroy, [&] {
      CloseLine();
      // Children that clients still hold must not reach the device from now on.
      if (link_) {
        link_->Released = true;
        link_->Driver = nullptr;
        link_->Controller = nullptr;
      }
      state_.Reset();
      manager_.Reset();
      compiler_.Reset();
      analysis_.Reset();
      tuning_.Reset();
      driver_.reset();
      hardware_.reset();
    });
  } catch (...) {
    // Reported by the guard; a destructor must not throw.
  }
}

void TQuellarController::CloseLine() {
  if (hardware_ && hardware_->Active()) hardware_->Close();
}

HRESULT TQuellarController::get_Compiler(ICompiler** Value) {
  if (!Value) return E_POINTER;
  *Value = nullptr;
  return Call(kTagCompiler, [&] { return HandOut(compiler_, Value); });
}

HRESULT TQuellarController::get_State(IState** Value) {
  if (!Value) return E_POINTER;
  *Value = nullptr;
  return Call(kTagState, [&] { return HandOut(state_, Value); });
}

HRESULT TQuellarController::get_Manager(IManager** Value) {
  if (!Value) return E_POINTER;
  *Value = nullptr;
  return Call(kTagManager, [&] { return HandOut(manager_, Value); });
}

HRESULT TQuellarController::get_Analysis(IAnalysis** Value) {
  if (!Value) return E_POINTER;
  *Value = nullptr;
  return Call(kTagAnalysis, [&] { return HandOut(analysis_, Value); });
}

HRESULT TQuellarController::get_Tuning(ITuning** Value) {
  if (!Value) return E_POINTER;
  *Value = nullptr;
  return Call(kTagTuning, [&] { return HandOut(tuning_, Value); });
}

HRESULT TQuellarController::get_Active(VARIANT_BOOL* Value) {
  if (!Value) return E_POINTER;
  *Value = VARIANT_FALSE;
  return Call(kTagActive, [&] { *Value = hardware_->Active() ? VARIANT_TRUE : VARIANT_FALSE; });
}

HRESULT TQuellarController::Open(LONG ComPort, VARIANT_BOOL* Success) {
  if (!Success) return E_POINTER;
  *Success = VARIANT_FALSE;
  return Call(kTagOpen, [&] {
    char parameters[32];
    std::snprintf(parameters, sizeof parameters, "DRIVER_COMPORT=%d", static_cast<int>(ComPort));
    // On an open controller the transport reports the broken precondition and keeps its port.
    if (!hardware_->Open(parameters)) return;
    if (!driver_->Handshake() || !driver_->UpdateState()) {
      CloseLine();
      return;
    }
    *Success = VARIANT_TRUE;
  });
}

HRESULT TQuellarController::Close() {
  return Call(kTagClose, [&] { CloseLine(); });
}

HRESULT CreateController(REFIID riid, void** ppv) {
  return CreateAndQuery<TQuellarController>(riid, ppv);
}

}  // namespace quellar::automation
