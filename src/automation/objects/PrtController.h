#pragma once
// TQuellarController, the Controller class: one analyzer on one serial port. It builds the
// device stack once (transport, device controller, the five children) and keeps it for its
// whole life; Open connects it to a port and identifies the analyzer.
#include <memory>

#include "automation/objects/ChildObject.h"
#include "device/DrvConnection.h"

namespace quellar::automation {

class TQuellarState;
class TQuellarManager;
class TQuellarCompiler;
class TQuellarAnalysis;
class TQuellarTuning;

class TQuellarController final : public TAutoObject<IController> {
 public:
  TQuellarController();
  // A stack over another transport (the virtual analyzer in-process, tests); owned.
  explicit TQuellarController(std::unique_ptr<device::TDriverHardwareBase> hardware);

  HRESULT STDMETHODCALLTYPE get_Compiler(ICompiler** Value) override;
  HRESULT STDMETHODCALLTYPE get_State(IState** Value) override;
  HRESULT STDMETHODCALLTYPE get_Manager(IManager** Value) override;
  HRESULT STDMETHODCALLTYPE get_Analysis(IAnalysis** Value) override;
  HRESULT STDMETHODCALLTYPE get_Tuning(ITuning** Value) override;
  HRESULT STDMETHODCALLTYPE get_Active(VARIANT_BOOL* Value) override;
  HRESULT STDMETHODCALLTYPE Open(LONG ComPort, VARIANT_BOOL* Success) override;
  HRESULT STDMETHODCALLTYPE Close() override;

 private:
  ~TQuellarController() override;
  void CloseLine();

  std::unique_ptr<device::TDriverHardwareBase> hardware_;
  std::unique_ptr<device::TDriverController> driver_;
  DeviceLinkPtr link_;
  // Declared after the stack, so a failed construction releases them before it goes.
  TOwnedRef<TQuellarState> state_;
  TOwnedRef<TQuellarManager> manager_;
  TOwnedRef<TQuellarCompiler> compiler_;
  TOwnedRef<TQuellarAnalysis> analysis_;
  TOwnedRef<TQuellarTuning> tuning_;
};

HRESULT CreateController(REFIID riid, void** ppv);

}  // namespace quellar::automation
