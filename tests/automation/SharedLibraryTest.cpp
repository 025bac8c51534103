// The entry points and the OLE functions for values crossing the boundary are exported, no more.
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
  IDoubleArray* array = nullptr;
  ASSERT_EQ(create("Quellar.DoubleArray", &IID_IDoubleArray, reinterpret_cast<void**>(&array)),
            S_OK);
  array->Release();
  dlclose(handle);
}

}  // namespace
