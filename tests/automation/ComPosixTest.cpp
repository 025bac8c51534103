// The portable automation types: strings, variants, safe arrays and the thread's error
// information.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "automation/Bstr.h"
#include "automation/com/ComBase.h"

namespace quellar::automation {
namespace {

TEST(Bstr, LengthPrefixedUtf16) {
  TBstr text("Ab\xD0\x96\xF0\x9F\x98\x80");  // "Ab", Cyrillic Zhe, one emoji (a surrogate pair)
  ASSERT_EQ(SysStringLen(text.get()), 5u);
  uint32_t bytes = 0;
  std::memcpy(&bytes, reinterpret_cast<const char*>(text.get()) - 4, 4);
  EXPECT_EQ(bytes, 10u);
  EXPECT_EQ(text.get()[5], 0);
  const OLECHAR embedded[] = {'a', 0, 'b'};
  BSTR withNul = SysAllocStringLen(embedded, 3), blank = SysAllocStringLen(nullptr, 2);
  BSTR copy = SysAllocString(u"abc"), empty = SysAllocString(u"");
  EXPECT_EQ(std::u16string(withNul, 4), std::u16string(u"a\0b\0", 4));
  EXPECT_EQ(std::u16string(blank, 3), std::u16string(3, u'\0'));  // room for text, zero-filled
  EXPECT_EQ(SysStringLen(copy), 3u);
  EXPECT_EQ(SysStringLen(empty), 0u);
  for (BSTR s : {withNul, blank, copy, empty}) SysFreeString(s);
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(FromBstr(nullptr), "");
}

TEST(Bstr, Utf8AndUtf16AtThePlaneBoundaries) {
  const std::pair<const char*, std::u16string> cases[] = {
      {"\xD0\x96", u"\x0416"},
      {"\xEF\xBF\xBF", u"\xFFFF"},             // last of the basic plane
      {"\xF0\x90\x80\x80", {0xD800, 0xDC00}},  // first surrogate pair
      {"\xF0\x9F\x98\x80", {0xD83D, 0xDE00}},
      {"\xF4\x8F\xBF\xBF", {0xDBFF, 0xDFFF}},  // last code point
  };
  for (const auto& [utf8, utf16] : cases) {
    EXPECT_EQ(ToOle(utf8), utf16) << utf8;
    EXPECT_EQ(FromOle(utf16.data(), utf16.size()), utf8) << utf8;
  }
  // Surrogates that make no pair are written as they are.
  const std::u16string lone = {0xDC00, 0xDC00, 0xD800};
  EXPECT_EQ(FromOle(lone.data(), lone.size()), "\xED\xB0\x80\xED\xB0\x80\xED\xA0\x80");
  // Invalid UTF-8 and code points beyond U+10FFFF become U+FFFD.
  EXPECT_EQ(ToOle("\xFF"), u"\xFFFD");
  EXPECT_EQ(ToOle("\xF4\x90\x80\x80"), u"\xFFFD");
  EXPECT_EQ(ToOle("\xE2\x82"), u"\xFFFD\xFFFD");
}

TEST(SafeArray, BoundsDimensionsAndLocks) {
  SAFEARRAYBOUND bounds[2] = {{3, 1}, {4, -2}};  // left-most dimension first
  SAFEARRAY* psa = SafeArrayCreate(VT_I4, 2, bounds);
  ASSERT_NE(psa, nullptr);
  EXPECT_EQ(SafeArrayGetDim(psa), 2u);
  LONG lo = 0;
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
  EXPECT_EQ(SafeArrayCreateVector(VT_RECORD, 0, 1), nullptr);
  EXPECT_EQ(SafeArrayCreate(VT_R8, 0, bounds), nullptr);
}

TEST(SafeArray, CopyKeepsBoundsOfEveryDimension) {
  const std::pair<std::vector<SAFEARRAYBOUND>, std::vector<std::pair<LONG, LONG>>> cases[] = {
      {{{4, 3}}, {{3, 6}}},
      {{{0, 0}}, {{0, -1}}},
      {{{3, 1}, {4, -2}}, {{1, 3}, {-2, 1}}},
  };
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
        EXPECT_EQ(SafeArrayGetLBound(array, d, &lo), S_OK);
        EXPECT_EQ(SafeArrayGetUBound(array, d, &hi), S_OK);
        EXPECT_EQ(std::make_pair(lo, hi), expected[d - 1]) << "dimension " << d;
      }
    }
    EXPECT_EQ(SafeArrayGetDim(copy), expected.size());
    for (size_t i = 0; i < count; ++i) EXPECT_EQ(static_cast<double*>(copy->pvData)[i], 0.5 + i);
    EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
  }
}

TEST(Variant, CopyIsDeepAndClearFrees) {
  VARIANT a, b;
  VariantInit(&a);
  VariantInit(&b);
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
  void* asked = &asked;
  EXPECT_EQ(info->QueryInterface(IID_IDispatch, &asked), E_NOINTERFACE);
  EXPECT_EQ(asked, nullptr);
  ASSERT_EQ(info->QueryInterface(IID_ICreateErrorInfo, &asked), S_OK);
  EXPECT_EQ(asked, static_cast<void*>(create));
  create->Release();
  SetErrorInfo(0, info);
  EXPECT_EQ(info->Release(), 1u);  // the thread holds the other reference
  std::thread([] {
    IErrorInfo* none = reinterpret_cast<IErrorInfo*>(1);
    EXPECT_EQ(GetErrorInfo(0, &none), S_FALSE);
    EXPECT_EQ(none, nullptr);
  }).join();
  IErrorInfo* got = nullptr;
  ASSERT_EQ(GetErrorInfo(0, &got), S_OK);
  TBstr description;
  got->GetDescription(description.out());
  EXPECT_EQ(FromBstr(description.get()), "first");
  EXPECT_EQ(got->Release(), 0u);
  EXPECT_EQ(GetErrorInfo(0, &got), S_FALSE);  // reading takes it
}

}  // namespace
}  // namespace quellar::automation
