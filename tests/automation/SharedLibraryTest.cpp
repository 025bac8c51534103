// The shared library as a client loads it: the server entry points, the creation function, the
// handler setters and the OLE functions for values that cross the boundary are exported, the
// library's own code is not, and objects made through the exports work.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "automation/Quellar.h"

namespace {

TEST(SharedLibrary, ExportsOnlyEntryPointsAndObjectsWorkThroughThem) {
  void* handle = dlopen(QUELLAR_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  for (const char* name :
       {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer",
        "QuellarCreateObject", "QuellarSetReportHandler", "QuellarSetTraceHandler",
        "SysAllocString", "SysFreeString", "VariantClear", "SafeArrayDestroy",
        "SafeArrayAccessData", "GetErrorInfo"}) {
    EXPECT_NE(dlsym(handle, name), nullptr) << name;
  }
  for (const char* name :
       {"_ZN7quellar10automation6server9CanUnloadEv", "_ZN7quellar6arrays12TDoubleArrayC1Ev"}) {
    EXPECT_EQ(dlsym(handle, name), nullptr) << name;
  }
  auto* create =
      reinterpret_cast<decltype(QuellarCreateObject)*>(dlsym(handle, "QuellarCreateObject"));
  auto* canUnload = reinterpret_cast<decltype(DllCanUnloadNow)*>(dlsym(handle, "DllCanUnloadNow"));
  auto* getClass =
      reinterpret_cast<decltype(DllGetClassObject)*>(dlsym(handle, "DllGetClassObject"));
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
  dlclose(handle);
}

}  // namespace
