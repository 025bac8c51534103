#pragma once
// A connection point with room for one client sink, for objects that raise events through a
// dispinterface. The object that owns it adds IConnectionPointContainer to its TAutoObject
// interfaces and answers FindConnectionPoint with Find(); it raises an event with Fire().
#include <functional>
#include <vector>

#include "automation/AutoObject.h"

namespace quellar::automation {

class TSingleConnectionPoint final : public IConnectionPoint {
 public:
  // container: the owning object (its lifetime covers this point's); source: the event
  // interface's description (a dispinterface of the type library).
  // sinkChanged, when given, hears of every connected sink (null on disconnect), after the
  // point has taken or dropped its own reference.
  TSingleConnectionPoint(IConnectionPointContainer* container, const InterfaceDesc& source,
                         std::function<void(IDispatch*)> sinkChanged = {});
  ~TSingleConnectionPoint();
  TSingleConnectionPoint(const TSingleConnectionPoint&) = delete;
  TSingleConnectionPoint& operator=(const TSingleConnectionPoint&) = delete;

  // The owner's FindConnectionPoint.
  HRESULT Find(REFIID riid, IConnectionPoint** point);
  // Calls the event with DISPID id on the connected sink; args in natural order. S_FALSE when no
  // sink is connected. The sink's result lands in *result when given.
  HRESULT Fire(DISPID id, std::vector<VARIANT> args, VARIANT* result);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
  HRESULT STDMETHODCALLTYPE
  GetConnectionPointContainer(IConnectionPointContainer** container) override;
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** connections) override;

  static constexpr DWORD kCookie = 1;

 private:
  ErrorSource Source() const { return {"Quellar.ConnectionPoint", &IID_IConnectionPoint}; }

  IConnectionPointContainer* container_;
  const InterfaceDesc& source_;
  IDispatch* sink_ = nullptr;
  std::function<void(IDispatch*)> sinkChanged_;
};

}  // namespace quellar::automation
