// The portable automation types: Windows widths and layouts, strings, variants, safe arrays
// and the thread's error information.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <thread>

#include "automation/Bstr.h"
#include "automation/com/ComBase.h"

namespace quellar::automation {
namespace {

TEST(ComTypes, WindowsWidthsAndLayouts) {
  EXPECT_EQ(sizeof(LONG), 4u);
  EXPECT_EQ(sizeof(ULONG), 4u);
  EXPECT_EQ(sizeof(OLECHAR), 2u);
  EXPECT_EQ(sizeof(VARIANT_BOOL), 2u);
  EXPECT_EQ(sizeof(GUID), 16u);
  EXPECT_EQ(sizeof(VARIANT), sizeof(void*) == 8 ? 24u : 16u);
  EXPECT_EQ(offsetof(VARIANT, dblVal), 8u);
  EXPECT_EQ(sizeof(DECIMAL), 16u);
  EXPECT_EQ(E_UNEXPECTED, static_cast<HRESULT>(0x8000FFFF));
  EXPECT_EQ(DISP_E_EXCEPTION, static_cast<HRESULT>(0x80020009));
  EXPECT_EQ(VARIANT_TRUE, -1);
}

TEST(Bstr, LengthPrefixedUtf16) {
  TBstr text("Ab\xD0\x96\xF0\x9F\x98\x80");  // "Ab", Cyrillic Zhe, one emoji (a surrogate pair)
  ASSERT_NE(text.get(), nullptr);
  EXPECT_EQ(SysStringLen(text.get()), 5u);
  uint32_t bytes = 0;
  std::memcpy(&bytes, reinterpret_cast<const char*>(text.get()) - 4, 4);
  EXPECT_EQ(bytes, 10u);
  EXPECT_EQ(text.get()[2], 0x0416);
  EXPECT_EQ(text.get()[5], 0);
  EXPECT_EQ(text.Utf8(), "Ab\xD0\x96\xF0\x9F\x98\x80");
  const OLECHAR embedded[] = {'a', 0, 'b'};
  BSTR withNul = SysAllocStringLen(embedded, 3);
  EXPECT_EQ(SysStringLen(withNul), 3u);
  SysFreeString(withNul);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  SysFreeString(nullptr);
  EXPECT_EQ(FromBstr(nullptr), "");
  EXPECT_EQ(FromOle(ToOle("\xFF").c_str(), 1), "\xEF\xBF\xBD");  // invalid UTF-8 -> U+FFFD
}

TEST(SafeArray, BoundsDimensionsAndElementTypes) {
  SAFEARRAYBOUND bounds[2] = {{3, 1}, {4, -2}};  // left-most dimension first
  SAFEARRAY* psa = SafeArrayCreate(VT_I4, 2, bounds);
  ASSERT_NE(psa, nullptr);
  EXPECT_EQ(SafeArrayGetDim(psa), 2u);
  LONG lo = 0, hi = 0;
  EXPECT_EQ(SafeArrayGetLBound(psa, 1, &lo), S_OK);
  EXPECT_EQ(SafeArrayGetUBound(psa, 1, &hi), S_OK);
  EXPECT_EQ(lo, 1);
  EXPECT_EQ(hi, 3);
  EXPECT_EQ(SafeArrayGetLBound(psa, 2, &lo), S_OK);
  EXPECT_EQ(SafeArrayGetUBound(psa, 2, &hi), S_OK);
  EXPECT_EQ(lo, -2);
  EXPECT_EQ(hi, 1);
  EXPECT_EQ(SafeArrayGetLBound(psa, 3, &lo), DISP_E_BADINDEX);
  EXPECT_EQ(SafeArrayGetLBound(psa, 0, &lo), DISP_E_BADINDEX);
  VARTYPE vt = VT_EMPTY;
  EXPECT_EQ(SafeArrayGetVartype(psa, &vt), S_OK);
  EXPECT_EQ(vt, VT_I4);
  EXPECT_EQ(SafeArrayGetElemsize(psa), 4u);
  void* data = nullptr;
  EXPECT_EQ(SafeArrayAccessData(psa, &data), S_OK);
  EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
  EXPECT_EQ(SafeArrayUnaccessData(psa), E_UNEXPECTED);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);

  SAFEARRAY* empty = SafeArrayCreateVector(VT_R8, 0, 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(SafeArrayGetUBound(empty, 1, &hi), S_OK);
  EXPECT_EQ(hi, -1);
  EXPECT_EQ(SafeArrayDestroy(empty), S_OK);
  EXPECT_EQ(SafeArrayCreateVector(VT_RECORD, 0, 1), nullptr);
  EXPECT_EQ(SafeArrayCreate(VT_R8, 0, bounds), nullptr);
  EXPECT_EQ(SafeArrayGetDim(nullptr), 0u);
}

TEST(Variant, CopyIsDeepAndClearFrees) {
  SAFEARRAY* strings = SafeArrayCreateVector(VT_BSTR, 0, 2);
  ASSERT_NE(strings, nullptr);
  static_cast<BSTR*>(strings->pvData)[0] = NewBstr("one");
  VARIANT a;
  VariantInit(&a);
  V_VT(&a) = VT_ARRAY | VT_BSTR;
  V_ARRAY(&a) = strings;
  VARIANT b;
  VariantInit(&b);
  ASSERT_EQ(VariantCopy(&b, &a), S_OK);
  EXPECT_NE(V_ARRAY(&b), V_ARRAY(&a));
  BSTR copied = static_cast<BSTR*>(V_ARRAY(&b)->pvData)[0];
  EXPECT_NE(copied, static_cast<BSTR*>(strings->pvData)[0]);
  EXPECT_EQ(FromBstr(copied), "one");
  EXPECT_EQ(VariantClear(&a), S_OK);
  EXPECT_EQ(V_VT(&a), VT_EMPTY);
  EXPECT_EQ(FromBstr(static_cast<BSTR*>(V_ARRAY(&b)->pvData)[0]), "one");
  EXPECT_EQ(VariantClear(&b), S_OK);
  EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

TEST(ErrorInfo, PerThreadAndTakenOnRead) {
  ICreateErrorInfo* create = nullptr;
  ASSERT_EQ(CreateErrorInfo(&create), S_OK);
  OleString text = ToOle("first");
  create->SetDescription(text.data());
  IErrorInfo* info = nullptr;
  ASSERT_EQ(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)), S_OK);
  create->Release();
  SetErrorInfo(0, info);
  info->Release();
  std::thread other([] {
    IErrorInfo* none = reinterpret_cast<IErrorInfo*>(1);
    EXPECT_EQ(GetErrorInfo(0, &none), S_FALSE);
    EXPECT_EQ(none, nullptr);
  });
  other.join();
  IErrorInfo* got = nullptr;
  ASSERT_EQ(GetErrorInfo(0, &got), S_OK);
  TBstr description;
  got->GetDescription(description.out());
  EXPECT_EQ(description.Utf8(), "first");
  got->Release();
  EXPECT_EQ(GetErrorInfo(0, &got), S_FALSE);  // reading takes it
}

}  // namespace
}  // namespace quellar::automation
