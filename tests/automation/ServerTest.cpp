// Class factories, the exported entry points, and creation where there is no registry.
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

TEST_F(ServerTest, FactoryFailures) {
  Ref<IClassFactory> factory;
  ASSERT_EQ(DllGetClassObject(CLSID_Tuning, IID_IClassFactory, factory.outVoid()), S_OK);
  Ref<IUnknown> inner;
  EXPECT_EQ(factory->CreateInstance(factory.get(), IID_IUnknown, inner.outVoid()),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, inner.outVoid()), E_NOINTERFACE);
  EXPECT_EQ(inner.get(), nullptr);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
  void* p = &p;
  EXPECT_EQ(DllGetClassObject(IID_IDoubleArray, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(DllGetClassObject(CLSID_DoubleArray, IID_IDispatch, &p), E_NOINTERFACE);
  EXPECT_EQ(DllGetClassObject(CLSID_DoubleArray, IID_IClassFactory, nullptr), E_POINTER);
}

TEST_F(ServerTest, CanUnloadOnlyWithoutObjectsAndLocks) {
  Ref<IClassFactory> factory;
  ASSERT_EQ(DllGetClassObject(CLSID_ByteArray, IID_IClassFactory, factory.outVoid()), S_OK);
  IDispatch* object = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&object)),
            S_OK);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);  // an object lives
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(object->Release(), 0u);
  for (BOOL lock : {TRUE, FALSE, FALSE}) {  // locked twice, then unlocked twice
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    EXPECT_EQ(factory->LockServer(lock), S_OK);
  }
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);  // one too many: the count stays at 0
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
  }
  // Children of a controller are not made on their own.
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
  std::pair<std::string, int> seen{"", 1};  // what the host saw, and its answer
  QuellarSetReportHandler(
      [](const char* caption, const char* message, void* context) {
        auto* s = static_cast<std::pair<std::string, int>*>(context);
        s->first = std::string(caption) + ": " + message;
        return s->second;
      },
      &seen);
  EXPECT_EQ(platform::ShowReportDialog("Error report", "text"), platform::DialogAnswer::Yes);
  EXPECT_EQ(seen.first, "Error report: text");
  seen.second = 0;
  EXPECT_EQ(platform::ShowReportDialog("c", "m"), platform::DialogAnswer::No);
  QuellarSetReportHandler(nullptr, nullptr);  // back to the default: standard error, No
  EXPECT_EQ(platform::ShowReportDialog("c", "after"), platform::DialogAnswer::No);
  EXPECT_EQ(seen.first, "c: m");
}

TEST(Guid, TextRoundTrip) {
  GUID g;
  ASSERT_TRUE(ParseGuid("{62329eec-1598-4e78-bda2-11aa52fcd838}", &g));
  EXPECT_EQ(GuidString(g), std::string("{62329EEC-1598-4E78-BDA2-11AA52FCD838") + "}");
  for (const char* bad :
       {"{62329eec-1598-4e78-bda2-11aa52fcd838", "62329EEC+1598-4E78-BDA2-11AA52FCD838",
        "62329EEC-1598-4E78-BDA2-11AA52FCD83G"})
    EXPECT_FALSE(ParseGuid(bad, &g)) << bad;
}

}  // namespace
}  // namespace quellar::automation
