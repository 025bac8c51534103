// The single-client connection point: advise limits, cookies, sinks without the event
// interface, and events reaching the sink with their arguments and result.
#include <gtest/gtest.h>

#include <vector>

#include "automation/ConnectionPoint.h"
#include "automation/LateBoundTestSupport.h"

namespace quellar::automation {
namespace {

using test::Ref;

// An object with events, built on the base like the library's own classes.
class TEventSource final : public TAutoObject<IState, IConnectionPointContainer> {
 public:
  TEventSource() : TAutoObject("Quellar.State"), point_(this, kIMathProcessorEventsDesc) {}
  HRESULT STDMETHODCALLTYPE get_SampleTemperature(DOUBLE*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_SystemTemperature(DOUBLE*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_MasterID(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_MagneticID(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Update() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** p) override {
    return point_.Find(riid, p);
  }
  TSingleConnectionPoint point_;
};

// A client's event sink: answers the event interface (or only IDispatch) and records calls.
class TSink final : public IDispatch {
 public:
  explicit TSink(bool events = true, bool dispatch = true) : events_(events), dispatch_(dispatch) {}
  ULONG refs = 1;
  std::vector<DISPID> calls;
  std::vector<double> xs;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    const bool known = riid == IID_IUnknown || (events_ && riid == DIID_IMathProcessorEvents) ||
                       (dispatch_ && riid == IID_IDispatch);
    *ppv = known ? this : nullptr;
    if (known) ++refs;
    return known ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO*, UINT*) override {
    calls.push_back(id);
    if (flags != DISPATCH_METHOD || params->cArgs != 3) return DISP_E_BADPARAMCOUNT;
    xs.push_back(V_R8(&params->rgvarg[2]));  // arguments arrive in reverse order
    *result = test::VR8(xs.back() * 2);
    return S_OK;
  }

 private:
  bool events_, dispatch_;
};

TEST(ConnectionPoint, OneSinkAtATime) {
  Ref<IConnectionPointContainer> source;
  TEventSource* object = new TEventSource();
  ASSERT_EQ(object->QueryInterface(IID_IConnectionPointContainer, source.outVoid()), S_OK);
  object->Release();
  Ref<IConnectionPoint> point;
  EXPECT_EQ(source->FindConnectionPoint(IID_IDoubleArray, point.out()), CONNECT_E_NOCONNECTION);
  ASSERT_EQ(source->FindConnectionPoint(DIID_IMathProcessorEvents, point.out()), S_OK);
  IID iid{};
  point->GetConnectionInterface(&iid);
  EXPECT_TRUE(iid == DIID_IMathProcessorEvents);
  Ref<IConnectionPointContainer> back;
  ASSERT_EQ(point->GetConnectionPointContainer(back.out()), S_OK);
  EXPECT_EQ(back.get(), source.get());

  TSink first, second, onlyDispatch(false, true), neither(false, false);
  DWORD cookie = 0, other = 9;
  EXPECT_EQ(point->Advise(&neither, &cookie), CONNECT_E_CANNOTCONNECT);
  ASSERT_EQ(point->Advise(&first, &cookie), S_OK);
  EXPECT_EQ(cookie, TSingleConnectionPoint::kCookie);
  EXPECT_EQ(first.refs, 2u);
  EXPECT_EQ(point->Advise(&second, &other), CONNECT_E_ADVISELIMIT);
  EXPECT_EQ(other, 0u);
  EXPECT_EQ(second.refs, 1u);
  EXPECT_EQ(point->Unadvise(cookie + 1), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(point->Unadvise(cookie), S_OK);
  EXPECT_EQ(first.refs, 1u);
  EXPECT_EQ(point->Unadvise(cookie), CONNECT_E_NOCONNECTION);
  ASSERT_EQ(point->Advise(&onlyDispatch, &other), S_OK);  // free again; IDispatch is enough
  EXPECT_EQ(point->Unadvise(other), S_OK);
  ASSERT_EQ(point->Advise(&second, &other), S_OK);
  EXPECT_EQ(point->Advise(nullptr, &other), E_POINTER);
  // Releasing the object with a sink still connected releases the sink too.
  point.out();
  back.out();
  source.out();
  EXPECT_EQ(second.refs, 1u);
}

TEST(ConnectionPoint, FireReachesTheSinkWithArgumentsAndResult) {
  TEventSource* object = new TEventSource();
  VARIANT result = test::VEmpty();
  const std::vector<VARIANT> args = {test::VR8(1.5), test::VEmpty(), test::VEmpty()};
  EXPECT_EQ(object->point_.Fire(1, args, &result), S_FALSE);  // nobody listens
  TSink sink;
  DWORD cookie = 0;
  ASSERT_EQ(object->point_.Advise(&sink, &cookie), S_OK);
  ASSERT_EQ(object->point_.Fire(1, args, &result), S_OK);
  EXPECT_EQ(V_R8(&result), 3.0);
  EXPECT_EQ(sink.calls, std::vector<DISPID>{1});
  EXPECT_EQ(sink.xs, std::vector<double>{1.5});
  EXPECT_EQ(object->point_.Fire(1, {test::VR8(1)}, nullptr), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(sink.refs, 2u);  // Fire's own reference is given back
  object->Release();
  EXPECT_EQ(sink.refs, 1u);
}

}  // namespace
}  // namespace quellar::automation
