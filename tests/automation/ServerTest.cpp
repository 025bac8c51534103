// Class factories, the exported entry points, the object and lock counts, and creation by
// programmatic identifier where there is no registry.
#include <gtest/gtest.h>

#include "automation/AutoObject.h"
#include "automation/ClassRegistry.h"
#include "automation/LateBoundTestSupport.h"
#include "automation/Quellar.h"
#include "platform/Platform.h"

namespace quellar::automation {
namespace {

using test::Ref;

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(DllCanUnloadNow(), S_OK) << "a previous test leaked"; }
  void TearDown() override { EXPECT_EQ(DllCanUnloadNow(), S_OK) << "this test leaked"; }
};

TEST_F(ServerTest, EveryFactoryMakesNewObjectsOfItsClassOnly) {
  for (const CLSID* clsid :
       {&CLSID_DoubleArray, &CLSID_ByteArray, &CLSID_Controller, &CLSID_MathProcessor,
        &CLSID_Compiler, &CLSID_State, &CLSID_Manager, &CLSID_Analysis, &CLSID_Tuning}) {
    Ref<IClassFactory> factory;
    ASSERT_EQ(DllGetClassObject(*clsid, IID_IClassFactory, factory.outVoid()), S_OK);
    Ref<IUnknown> unknown;
    EXPECT_EQ(factory->QueryInterface(IID_IUnknown, unknown.outVoid()), S_OK);
    Ref<IDispatch> a, b;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, a.outVoid()), S_OK);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, b.outVoid()), S_OK);
    EXPECT_TRUE(a.get() && b.get() && a.get() != b.get());
  }
  void* p = &p;
  EXPECT_EQ(DllGetClassObject(IID_IDoubleArray, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(p, nullptr);
  p = &p;
  EXPECT_EQ(DllGetClassObject(CLSID_DoubleArray, IID_IDispatch, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(DllGetClassObject(CLSID_DoubleArray, IID_IClassFactory, nullptr), E_POINTER);
  Ref<IClassFactory> factory;
  ASSERT_EQ(DllGetClassObject(CLSID_DoubleArray, IID_IClassFactory, factory.outVoid()), S_OK);
  Ref<IUnknown> outer, inner;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, outer.outVoid()), S_OK);
  EXPECT_EQ(factory->CreateInstance(outer.get(), IID_IUnknown, inner.outVoid()),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, inner.outVoid()), E_NOINTERFACE);
  EXPECT_EQ(inner.get(), nullptr);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
}

TEST_F(ServerTest, CanUnloadOnlyWithoutObjectsAndLocks) {
  Ref<IClassFactory> factory;
  ASSERT_EQ(DllGetClassObject(CLSID_ByteArray, IID_IClassFactory, factory.outVoid()), S_OK);
  IByteArray* object = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IByteArray, reinterpret_cast<void**>(&object)),
            S_OK);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  IDispatch* second = nullptr;
  ASSERT_EQ(object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&second)), S_OK);
  EXPECT_EQ(object->Release(), 1u);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);  // still referenced
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(second->Release(), 0u);
  EXPECT_EQ(server::ObjectCount(), 0);
  for (BOOL lock : {TRUE, FALSE, FALSE}) {  // locked twice, then unlocked twice
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    EXPECT_EQ(factory->LockServer(lock), S_OK);
  }
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
  // An unlock too many does not make the count negative.
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
}

TEST_F(ServerTest, CreationByProgrammaticOrClassIdentifier) {
  const std::string arrayId = GuidString(CLSID_DoubleArray), bareId = arrayId.substr(1, 36);
  const std::string truncated = "{" + bareId.substr(0, 35) + "}";  // one digit short
  const std::string compilerId = GuidString(CLSID_Compiler);
  using Names = std::vector<std::string>;
  for (const std::string& name : Names{"Quellar.DoubleArray", "quellar.bytearray", arrayId, bareId,
                                       "Quellar.Controller", "Quellar.MathProcessor"}) {
    Ref<IDispatch> object;
    EXPECT_EQ(QuellarCreateObject(name.c_str(), &IID_IDispatch, object.outVoid()), S_OK) << name;
    EXPECT_NE(object.get(), nullptr) << name;
  }
  // The children of a controller are not made on their own.
  for (const std::string& name :
       Names{"Quellar.Compiler", "Quellar.State", "Quellar.Manager", "Quellar.Analysis",
             "Quellar.Tuning", "DoubleArray", "", truncated, compilerId}) {
    void* p = &p;
    EXPECT_EQ(QuellarCreateObject(name.c_str(), &IID_IDispatch, &p), REGDB_E_CLASSNOTREG) << name;
    EXPECT_EQ(p, nullptr) << name;
  }
  void* p = &p;
  EXPECT_EQ(QuellarCreateObject(nullptr, &IID_IDispatch, &p), E_INVALIDARG);
  EXPECT_EQ(QuellarCreateObject("Quellar.DoubleArray", nullptr, &p), E_INVALIDARG);
  EXPECT_EQ(QuellarCreateObject("Quellar.DoubleArray", &IID_IDispatch, nullptr), E_POINTER);
}

TEST(ReportHandler, HostHandlerAnswersTheReportDialog) {
  struct Seen {
    std::string caption, message;
    int answer;
  } seen{"", "", 1};
  QuellarSetReportHandler(
      [](const char* caption, const char* message, void* context) {
        auto* s = static_cast<Seen*>(context);
        s->caption = caption;
        s->message = message;
        return s->answer;
      },
      &seen);
  EXPECT_EQ(platform::ShowReportDialog("Error report", "text"), platform::DialogAnswer::Yes);
  EXPECT_EQ(seen.caption, "Error report");
  EXPECT_EQ(seen.message, "text");
  seen.answer = 0;
  EXPECT_EQ(platform::ShowReportDialog("c", "m"), platform::DialogAnswer::No);
  QuellarSetReportHandler(nullptr, nullptr);  // back to the default: standard error, No
  seen.message.clear();
  EXPECT_EQ(platform::ShowReportDialog("c", "after"), platform::DialogAnswer::No);
  EXPECT_EQ(seen.message, "");
}

TEST(Guid, TextRoundTrip) {
  GUID g;
  const std::string lower = "62329eec-1598-4e78-bda2-11aa52fcd838";
  ASSERT_TRUE(ParseGuid("{" + lower + "}", &g));
  EXPECT_TRUE(g == CLSID_DoubleArray);
  EXPECT_EQ(GuidString(g), "{62329EEC-1598-4E78-BDA2-11AA52FCD838}");
  for (const char* bad :
       {"{62329eec-1598-4e78-bda2-11aa52fcd838", "62329EEC+1598-4E78-BDA2-11AA52FCD838",
        "62329EEC-1598-4E78-BDA2-11AA52FCD83G"})
    EXPECT_FALSE(ParseGuid(bad, &g)) << bad;
}

}  // namespace
}  // namespace quellar::automation
