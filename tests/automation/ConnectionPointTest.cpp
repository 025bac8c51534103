// The single-client connection point: advise limits, cookies, and sinks without the event
// interface.
#include <gtest/gtest.h>

#include <vector>

#include "automation/ConnectionPoint.h"
#include "automation/LateBoundTestSupport.h"
#include "automation/Quellar.h"
#include "support/ClientObject.h"

namespace quellar::automation {
namespace {

using test::Ref, test::VEmpty, test::VR8;

class TSink final : public test::TClientObject<> {
 public:
  explicit TSink(bool events = true, bool dispatch = true) : events_(events), dispatch_(dispatch) {}
  bool Knows(REFIID riid) const override {
    return (events_ && riid == DIID_IMathProcessorEvents) || (dispatch_ && riid == IID_IDispatch);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO*, UINT*) override {
    if (id != 1 || flags != DISPATCH_METHOD || params->cArgs != 3) return DISP_E_BADPARAMCOUNT;
    *result = VR8(V_R8(&params->rgvarg[2]) * 2);  // arguments arrive in reverse order
    return S_OK;
  }

 private:
  bool events_, dispatch_;
};

TEST(ConnectionPoint, OneSinkAtATimeReceivesTheEvents) {
  Ref<IConnectionPointContainer> owner;  // the point counts on its owner's references
  ASSERT_EQ(
      QuellarCreateObject("Quellar.MathProcessor", &IID_IConnectionPointContainer, owner.outVoid()),
      S_OK);
  TSink first, second, onlyDispatch(false, true), neither(false, false);
  {
    TSingleConnectionPoint point(owner.get(), kIMathProcessorEventsDesc);
    Ref<IConnectionPoint> found;
    EXPECT_EQ(point.Find(IID_IDoubleArray, found.out()), CONNECT_E_NOCONNECTION);
    ASSERT_EQ(point.Find(DIID_IMathProcessorEvents, found.out()), S_OK);
    EXPECT_EQ(found.get(), &point);
    Ref<IConnectionPointContainer> back;
    ASSERT_EQ(point.GetConnectionPointContainer(back.out()), S_OK);
    EXPECT_EQ(back.get(), owner.get());
    IID iid = IID_NULL;
    EXPECT_TRUE(point.GetConnectionInterface(&iid) == S_OK && iid == DIID_IMathProcessorEvents);

    VARIANT result = VEmpty();
    const std::vector<VARIANT> args = {VR8(1.5), VEmpty(), VEmpty()};
    EXPECT_EQ(point.Fire(1, args, &result), S_FALSE);  // nobody listens
    DWORD cookie = 0, other = 9;
    EXPECT_EQ(point.Advise(&neither, &cookie), CONNECT_E_CANNOTCONNECT);
    ASSERT_EQ(point.Advise(&first, &cookie), S_OK);
    EXPECT_EQ(cookie, TSingleConnectionPoint::kCookie);
    ASSERT_EQ(point.Fire(1, args, &result), S_OK);
    EXPECT_EQ(V_R8(&result), 3.0);
    EXPECT_EQ(point.Fire(1, {VR8(1)}, nullptr), DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(first.refs, 2u);  // the point's own; Fire gives its reference back
    EXPECT_EQ(point.Advise(&second, &other), CONNECT_E_ADVISELIMIT);
    EXPECT_EQ(other, 0u);
    EXPECT_EQ(point.Unadvise(cookie + 1), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(point.Unadvise(cookie), S_OK);
    EXPECT_EQ(first.refs, 1u);
    EXPECT_EQ(point.Unadvise(cookie), CONNECT_E_NOCONNECTION);
    ASSERT_EQ(point.Advise(&onlyDispatch, &other), S_OK);  // free again; IDispatch is enough
    EXPECT_EQ(point.Advise(nullptr, &other), E_POINTER);
  }
  EXPECT_EQ(onlyDispatch.refs, 1u);  // a sink still connected is released with the point
}

}  // namespace
}  // namespace quellar::automation
