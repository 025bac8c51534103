// The portable automation types: strings, variants, safe arrays and error information.
#include <gtest/gtest.h>

#include <vector>

#include "automation/Bstr.h"
#include "automation/com/ComBase.h"

namespace quellar::automation {
namespace {

TEST(Bstr, LengthPrefixedUtf16) {
  TBstr text("Ab\xD0\x96\xF0\x9F\x98\x80");  // "Ab", Cyrillic Zhe, one emoji (a surrogate pair)
  ASSERT_EQ(SysStringLen(text.get()), 5u);
  EXPECT_EQ(text.get()[5], 0);
  const OLECHAR embedded[] = {'a', 0, 'b'};
  BSTR withNul = SysAllocStringLen(embedded, 3), blank = SysAllocStringLen(nullptr, 2);
  EXPECT_EQ(std::u16string(withNul, 4), std::u16string(u"a\0b\0", 4));
  EXPECT_EQ(std::u16string(blank, 3), std::u16string(3, u'\0'));  // room for text, zero-filled
  for (BSTR s : {withNul, blank}) SysFreeString(s);
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
}

TEST(Bstr, Utf8AndUtf16AtThePlaneBoundaries) {
  const std::pair<const char*, std::u16string> cases[] = {
      {"\xD0\x96", u"\x0416"},
      {"\xEF\xBF\xBF", u"\xFFFF"},             // last of the basic plane
      {"\xF0\x90\x80\x80", {0xD800, 0xDC00}},  // first surrogate pair
      {"\xF4\x8F\xBF\xBF", {0xDBFF, 0xDFFF}},  // last code point
  };
  for (const auto& [utf8, utf16] : cases) {
    EXPECT_EQ(ToOle(utf8), utf16) << utf8;
    EXPECT_EQ(FromOle(utf16.data(), utf16.size()), utf8) << utf8;
  }
  const std::u16string lone = {0xDC00, 0xDC00, 0xD800};
  EXPECT_EQ(FromOle(lone.data(), lone.size()), "\xED\xB0\x80\xED\xB0\x80\xED\xA0\x80");
  EXPECT_EQ(ToOle("\xFF"), u"\xFFFD");
  EXPECT_EQ(ToOle("\xF4\x90\x80\x80"), u"\xFFFD");
  EXPECT_EQ(ToOle("\xE2\x82"), u"\xFFFD\xFFFD");
}

TEST(SafeArray, CopyKeepsBoundsOfEveryDimension) {
  const std::pair<std::vector<SAFEARRAYBOUND>, std::vector<std::pair<LONG, LONG>>> cases[] = {
      {{{4, 3}}, {{3, 6}}}, {{{3, 1}, {4, -2}}, {{1, 3}, {-2, 1}}}};  // left-most dimension first
  for (auto [bounds, expected] : cases) {
    SAFEARRAY* psa = SafeArrayCreate(VT_R8, static_cast<UINT>(bounds.size()), bounds.data());
    ASSERT_NE(psa, nullptr);
    const size_t count = bounds.size() == 2 ? 12 : bounds[0].cElements;
    for (size_t i = 0; i < count; ++i) static_cast<double*>(psa->pvData)[i] = 0.5 + i;
    SAFEARRAY* copy = nullptr;
    ASSERT_EQ(SafeArrayCopy(psa, &copy), S_OK);
    for (SAFEARRAY* array : {psa, copy}) {
      for (UINT d = 1; d <= expected.size(); ++d) {
        LONG lo = 0, hi = 0;
        EXPECT_EQ(SafeArrayGetLBound(array, d, &lo) | SafeArrayGetUBound(array, d, &hi), S_OK);
        EXPECT_EQ(std::make_pair(lo, hi), expected[d - 1]) << "dimension " << d;
      }
    }
    LONG lo = 0;
    for (UINT d : {0u, static_cast<UINT>(bounds.size() + 1)})
      EXPECT_EQ(SafeArrayGetLBound(copy, d, &lo), DISP_E_BADINDEX);
    VARTYPE vt = VT_EMPTY;
    EXPECT_EQ(SafeArrayGetVartype(copy, &vt), S_OK);
    EXPECT_EQ(std::make_pair(vt, SafeArrayGetElemsize(copy)), std::make_pair(VARTYPE{VT_R8}, 8u));
    EXPECT_EQ(SafeArrayGetDim(copy), expected.size());
    for (size_t i = 0; i < count; ++i) EXPECT_EQ(static_cast<double*>(copy->pvData)[i], 0.5 + i);
    void* data = nullptr;
    EXPECT_EQ(SafeArrayAccessData(copy, &data), S_OK);
    EXPECT_EQ(SafeArrayDestroy(copy), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(SafeArrayUnaccessData(copy), S_OK);
    EXPECT_EQ(SafeArrayUnaccessData(copy), E_UNEXPECTED);
    EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
  }
  SAFEARRAYBOUND one{1, 0};
  EXPECT_EQ(SafeArrayCreateVector(VT_RECORD, 0, 1), nullptr);
  EXPECT_EQ(SafeArrayCreate(VT_R8, 0, &one), nullptr);
}

TEST(Variant, CopyIsDeepAndClearFrees) {
  VARIANT a{}, b{};
  V_VT(&a) = VT_ARRAY | VT_BSTR;
  V_ARRAY(&a) = SafeArrayCreateVector(VT_BSTR, 0, 2);
  BSTR* strings = static_cast<BSTR*>(V_ARRAY(&a)->pvData);
  strings[0] = NewBstr("one");
  ASSERT_EQ(VariantCopy(&b, &a), S_OK);
  BSTR copied = static_cast<BSTR*>(V_ARRAY(&b)->pvData)[0];
  EXPECT_NE(copied, strings[0]);
  EXPECT_EQ(VariantClear(&a), S_OK);
  EXPECT_EQ(V_VT(&a), VT_EMPTY);
  EXPECT_EQ(FromBstr(copied), "one");
  V_VT(&a) = VT_BSTR, V_BSTR(&a) = NewBstr("two");  // a single string is copied too
  ASSERT_EQ(VariantCopy(&b, &a), S_OK);             // and the array in b is cleared
  EXPECT_TRUE(V_BSTR(&b) != V_BSTR(&a) && FromBstr(V_BSTR(&b)) == "two");
  for (VARIANT* v : {&a, &b}) EXPECT_EQ(VariantClear(v), S_OK);
  EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

TEST(ErrorInfo, HeldByTheThreadAndTakenOnRead) {
  ICreateErrorInfo* create = nullptr;
  ASSERT_EQ(CreateErrorInfo(&create), S_OK);
  IErrorInfo* info = nullptr;
  ASSERT_EQ(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)), S_OK);
  create->Release();
  void* asked = nullptr;
  ASSERT_EQ(info->QueryInterface(IID_ICreateErrorInfo, &asked), S_OK);
  EXPECT_EQ(asked, static_cast<void*>(create));
  create->Release();
  SetErrorInfo(0, info);
  EXPECT_EQ(info->Release(), 1u);  // the thread holds the other reference
  IErrorInfo* got = nullptr;
  ASSERT_EQ(GetErrorInfo(0, &got), S_OK);
  EXPECT_EQ(got, info);
  EXPECT_EQ(got->Release(), 0u);
  EXPECT_EQ(GetErrorInfo(0, &got), S_FALSE);  // reading takes it
  EXPECT_EQ(got, nullptr);
}

}  // namespace
}  // namespace quellar::automation
