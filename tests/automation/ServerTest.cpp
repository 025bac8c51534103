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

TEST_F(ServerTest, UnknownClassOrInterfaceIsRefused) {
  void* p = &p;
  EXPECT_EQ(DllGetClassObject(IID_IDoubleArray, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(p, nullptr);
  p = &p;
  EXPECT_EQ(DllGetClassObject(CLSID_DoubleArray, IID_IDispatch, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(DllGetClassObject(CLSID_DoubleArray, IID_IClassFactory, nullptr), E_POINTER);
}

TEST_F(ServerTest, EveryFactoryMakesItsObjects) {
  struct Case {
    const CLSID* clsid;
    HRESULT hr;
  };
  const Case cases[] = {
      {&CLSID_DoubleArray, S_OK}, {&CLSID_ByteArray, S_OK},
      {&CLSID_Controller, S_OK},  {&CLSID_MathProcessor, S_OK},
      {&CLSID_Compiler, S_OK},    {&CLSID_State, S_OK},
      {&CLSID_Manager, S_OK},     {&CLSID_Analysis, S_OK},
      {&CLSID_Tuning, S_OK}};
  for (const Case& c : cases) {
    Ref<IClassFactory> factory;
    ASSERT_EQ(DllGetClassObject(*c.clsid, IID_IClassFactory, factory.outVoid()), S_OK);
    Ref<IUnknown> unknown;
    EXPECT_EQ(factory->QueryInterface(IID_IUnknown, unknown.outVoid()), S_OK);
    Ref<IDispatch> object;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, object.outVoid()), c.hr);
    EXPECT_EQ(object.get() != nullptr, c.hr == S_OK);
  }
  Ref<IClassFactory> factory;
  ASSERT_EQ(DllGetClassObject(CLSID_DoubleArray, IID_IClassFactory, factory.outVoid()), S_OK);
  Ref<IUnknown> outer;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, outer.outVoid()), S_OK);
  Ref<IUnknown> inner;
  EXPECT_EQ(factory->CreateInstance(outer.get(), IID_IUnknown, inner.outVoid()),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, inner.outVoid()), E_NOINTERFACE);
  EXPECT_EQ(inner.get(), nullptr);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
  // Each request makes a new object.
  Ref<IDoubleArray> a, b;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDoubleArray, a.outVoid()), S_OK);
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDoubleArray, b.outVoid()), S_OK);
  EXPECT_NE(a.get(), b.get());
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
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);  // locked
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
  // An unlock too many does not make the count negative.
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
}

TEST_F(ServerTest, CreationByProgrammaticOrClassIdentifier) {
  struct Case {
    const char* name;
    HRESULT hr;
  };
  const std::string arrayId = GuidString(CLSID_DoubleArray);
  const std::string bareId = arrayId.substr(1, 36);
  const std::string truncated = "{" + bareId.substr(0, 35) + "}";  // one digit short
  const Case cases[] = {{"Quellar.DoubleArray", S_OK},
                        {"quellar.bytearray", S_OK},
                        {arrayId.c_str(), S_OK},
                        {bareId.c_str(), S_OK},
                        {"Quellar.Controller", S_OK},
                        {"Quellar.MathProcessor", S_OK},
                        {"Quellar.Compiler", REGDB_E_CLASSNOTREG},
                        {"Quellar.State", REGDB_E_CLASSNOTREG},
                        {"Quellar.Manager", REGDB_E_CLASSNOTREG},
                        {"Quellar.Analysis", REGDB_E_CLASSNOTREG},
                        {"Quellar.Tuning", REGDB_E_CLASSNOTREG},
                        {"DoubleArray", REGDB_E_CLASSNOTREG},
                        {"", REGDB_E_CLASSNOTREG},
                        {truncated.c_str(), REGDB_E_CLASSNOTREG}};
  for (const Case& c : cases) {
    Ref<IDispatch> object;
    EXPECT_EQ(QuellarCreateObject(c.name, &IID_IDispatch, object.outVoid()), c.hr) << c.name;
    EXPECT_EQ(object.get() != nullptr, c.hr == S_OK) << c.name;
  }
  const std::string compilerId = GuidString(CLSID_Compiler);
  void* p = &p;
  EXPECT_EQ(QuellarCreateObject(compilerId.c_str(), &IID_IDispatch, &p), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(p, nullptr);
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
  EXPECT_EQ(GuidString(g), "{" + std::string("62329EEC-1598-4E78-BDA2-11AA52FCD838") + "}");
  EXPECT_FALSE(ParseGuid("{" + lower, &g));
  EXPECT_FALSE(ParseGuid("62329EEC+1598-4E78-BDA2-11AA52FCD838", &g));
  EXPECT_FALSE(ParseGuid("62329EEC-1598-4E78-BDA2-11AA52FCD83G", &g));
}

}  // namespace
}  // namespace quellar::automation
