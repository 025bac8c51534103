// The shared library as a client loads it: exactly the server entry points, the creation
// function, the report-handler setter and the OLE functions a client needs for the values
// that cross the boundary are exported, and objects made through them work.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "automation/Quellar.h"

namespace {

class SharedLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = dlopen(QUELLAR_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
  }
  void TearDown() override {
    if (handle_) dlclose(handle_);
  }
  template <class F>
  F* Symbol(const char* name) {
    return reinterpret_cast<F*>(dlsym(handle_, name));
  }
  void* handle_ = nullptr;
};

TEST_F(SharedLibrary, ExportsEntryPointsAndOleFunctionsOnly) {
  for (const char* name :
       {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer",
        "QuellarCreateObject", "QuellarSetReportHandler", "QuellarSetTraceHandler",
        "SysAllocString", "SysFreeString", "VariantClear", "SafeArrayDestroy",
        "SafeArrayAccessData", "GetErrorInfo"}) {
    EXPECT_NE(dlsym(handle_, name), nullptr) << name;
  }
  // The library's own code stays inside.
  for (const char* name :
       {"_ZN7quellar10automation6server9CanUnloadEv", "_ZN7quellar6arrays12TDoubleArrayC1Ev"}) {
    EXPECT_EQ(dlsym(handle_, name), nullptr) << name;
  }
}

TEST_F(SharedLibrary, CreatesAndReleasesObjectsThroughTheExports) {
  auto* create = Symbol<decltype(QuellarCreateObject)>("QuellarCreateObject");
  auto* canUnload = Symbol<decltype(DllCanUnloadNow)>("DllCanUnloadNow");
  auto* getClass = Symbol<decltype(DllGetClassObject)>("DllGetClassObject");
  ASSERT_TRUE(create && canUnload && getClass);
  IDoubleArray* array = nullptr;
  ASSERT_EQ(create("Quellar.DoubleArray", &IID_IDoubleArray, reinterpret_cast<void**>(&array)),
            S_OK);
  EXPECT_EQ(canUnload(), S_FALSE);
  EXPECT_EQ(array->put_Count(2), S_OK);
  EXPECT_EQ(array->put_Item(1, 4.25), S_OK);
  double value = 0;
  EXPECT_EQ(array->get_Item(1, &value), S_OK);
  EXPECT_EQ(value, 4.25);
  EXPECT_EQ(array->get_Item(2, &value), DISP_E_BADINDEX);
  array->Release();
  EXPECT_EQ(canUnload(), S_OK);

  IClassFactory* factory = nullptr;
  ASSERT_EQ(getClass(CLSID_ByteArray, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(canUnload(), S_FALSE);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(canUnload(), S_OK);
  factory->Release();
  void* none = &none;
  EXPECT_EQ(create("Quellar.Analysis", &IID_IDispatch, &none), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(none, nullptr);
}

}  // namespace
