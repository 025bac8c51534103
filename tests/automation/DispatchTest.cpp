// Late binding: name lookup, argument conversion, wrong calls, out parameters, and failures.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "arrays/PrtArray.h"
#include "arrays/PrtByteArray.h"
#include "automation/ClassRegistry.h"
#include "automation/LateBoundTestSupport.h"
#include "support/TestSupport.h"

namespace quellar::automation {
namespace {

using test::IdOf, test::Invoke, test::kGet, test::kPut, test::Make, test::Outcome, test::Ref;
using test::VEmpty, test::VI4, test::VMissing, test::VR8, test::VRef, test::VRefI4, test::VStr;
using test::VUnknown;

constexpr Tag kTagProbeSplit = "{FA5626D6-6999-41ED-87CC-6A4BC06B01C1}";
const ErrorSource kProbe = {"Quellar.Probe", &IID_IDispatch};

// Parameter kinds the array objects do not take. Split fails for negatives and 13, EchoByte for 13.
HRESULT InvokeProbe(IDispatch*, size_t member, VARIANT* a) {
  if (member == 0) {
    return SafeCall({"Quellar.Tuning", &IID_ITuning}, kTagProbeSplit, [a] {
      const double x = V_R8(&a[0]);
      if (x < 0) Raise<EQuellarError>("Negative value");
      if (x == 13) Raise<EQuellarError>("Access refused", E_ACCESSDENIED);
      V_I4(&a[1]) = static_cast<LONG>(x * 2);
      V_R8(&a[2]) = x / 2;
    });
  }
  if (member == 1) V_BOOL(&a[1]) = V_BOOL(&a[0]);
  if (member == 2 && V_UI1(&a[0]) == 13) return E_FAIL;
  if (member == 2) V_UI1(&a[1]) = V_UI1(&a[0]);
  if (member == 3) V_BSTR(&a[1]) = SysAllocString(V_BSTR(&a[0]));
  return S_OK;
}
const ParamDesc kSplit[] = {{"Value", VT_R8, nullptr, kParamIn},
                            {"Whole", VT_I4, nullptr, kParamOut},
                            {"Half", VT_R8, nullptr, kParamOut}};
const ParamDesc kBools[] = {{"In", VT_BOOL, nullptr, kParamIn},
                            {"Out", VT_BOOL, nullptr, kParamOut}};
const ParamDesc kBytes[] = {{"In", VT_UI1, nullptr, kParamIn}, {"Out", VT_UI1, nullptr, kParamOut}};
const ParamDesc kTexts[] = {{"In", VT_BSTR, nullptr, kParamIn},
                            {"Out", VT_BSTR, nullptr, kParamOut}};
const MemberDesc kMembers[] = {{"Split", 1, MemberKind::Method, 7, kSplit, 3, ""},
                               {"EchoBool", 2, MemberKind::Method, 8, kBools, 2, ""},
                               {"EchoByte", 3, MemberKind::Method, 9, kBytes, 2, ""},
                               {"EchoText", 4, MemberKind::Method, 10, kTexts, 2, ""}};
const InterfaceDesc kProbeDesc = {"IProbe", &IID_IDispatch, "", false, kMembers, 4, InvokeProbe};

void CallProbe(Outcome& out, DISPID id, std::vector<VARIANT> args) {
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  out.hr = DispatchInvoke(kProbeDesc, kProbe, nullptr, id, IID_NULL, DISPATCH_METHOD, &params,
                          &out.result, &out.excep, &out.argErr);
}
Ref<IDispatch> New(HRESULT (*create)(REFIID, void**)) {
  IDispatch* p = nullptr;
  EXPECT_EQ(create(IID_IDispatch, reinterpret_cast<void**>(&p)), S_OK);
  return Ref<IDispatch>(p);
}
HRESULT LookUp(const InterfaceDesc& itf, std::vector<std::string> names, DISPID* ids) {
  std::vector<OleString> wide;
  std::vector<LPOLESTR> raw;
  for (const std::string& name : names) wide.push_back(ToOle(name));
  for (OleString& w : wide) raw.push_back(w.data());
  return DispatchGetIDsOfNames(itf, IID_NULL, raw.data(), static_cast<UINT>(raw.size()), ids);
}

TEST(Dispatch, NamesTypeInformationAndErrorInformationSupport) {
  DISPID ids[4] = {7, 7, 7, 7};
  EXPECT_EQ(LookUp(kProbeDesc, {"SPLIT", "half", "Nope", "Value"}, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(std::vector<DISPID>(ids, ids + 4), (std::vector<DISPID>{1, 2, DISPID_UNKNOWN, 0}));
  EXPECT_EQ(LookUp(InterfaceId<IDoubleArray>::Desc(), {"sum", "value"}, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[1], DISPID_UNKNOWN);                                   // the result's name
  EXPECT_EQ(LookUp(kProbeDesc, {"Splits"}, ids), DISP_E_UNKNOWNNAME);  // no prefix match
  Ref<IDispatch> doubles = New(arrays::CreateDoubleArray);
  EXPECT_EQ(IdOf(doubles.get(), "minindex"), 9);
  OleString item = ToOle("item");
  LPOLESTR names[] = {item.data()}, nullName[] = {nullptr};
  EXPECT_EQ(doubles->GetIDsOfNames(IID_IDispatch, names, 1, 0, ids), DISP_E_UNKNOWNINTERFACE);
  EXPECT_EQ(doubles->GetIDsOfNames(IID_NULL, nullptr, 1, 0, ids), E_INVALIDARG);
  EXPECT_EQ(doubles->GetIDsOfNames(IID_NULL, names, 1, 0, nullptr), E_INVALIDARG);
  EXPECT_EQ(doubles->GetIDsOfNames(IID_NULL, nullName, 1, 0, ids), DISP_E_UNKNOWNNAME);
  Ref<ISupportErrorInfo> support;
  ASSERT_EQ(doubles->QueryInterface(IID_ISupportErrorInfo, support.outVoid()), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IDoubleArray), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IByteArray), S_FALSE);
  UINT count = 5;
  EXPECT_EQ(doubles->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 0u);
  ITypeInfo* info = nullptr;
  EXPECT_EQ(doubles->GetTypeInfo(1, 0, &info), DISP_E_BADINDEX);
}

TEST(Dispatch, CallsGiveDispatchCodes) {
  Ref<IDispatch> array = New(arrays::CreateDoubleArray), bytes = New(arrays::CreateByteArray);
  Ref<IDispatch> other = New(arrays::CreateDoubleArray);
  IUnknown* unknown = other.get();
  TBstr word("three"), huge("1e30");
  // DISPIDs: 0 Item, 3 CopyFrom, 5 Sum; argErr indexes rgvarg (reversed), ~0u when not set.
  const std::tuple<DISPID, WORD, std::vector<VARIANT>, HRESULT, UINT> cases[] = {
      {5, kPut, {VR8(1)}, DISP_E_MEMBERNOTFOUND, ~0u},
      {5, DISPATCH_PROPERTYGET, {}, DISP_E_MEMBERNOTFOUND, ~0u},
      {0, kGet, {}, DISP_E_BADPARAMCOUNT, ~0u},
      {0, kGet, {VI4(0), VI4(1)}, DISP_E_BADPARAMCOUNT, ~0u},
      {0, kPut, {}, DISP_E_BADPARAMCOUNT, ~0u},
      {0, kGet, {VStr(word)}, DISP_E_TYPEMISMATCH, 0},
      {0, kGet, {VStr(huge)}, DISP_E_OVERFLOW, 0},
      {0, kGet, {VR8(std::nan(""))}, DISP_E_OVERFLOW, 0},
      {0, kPut, {VI4(0), VUnknown(array.get())}, DISP_E_TYPEMISMATCH, 0},
      {0, kGet, {VMissing()}, DISP_E_PARAMNOTOPTIONAL, 0},
      {0, kGet, {Make(VT_I4 | VT_BYREF, nullptr)}, DISP_E_TYPEMISMATCH, 0},
      {3, DISPATCH_METHOD, {VUnknown(other.get())}, S_OK, ~0u},
      {3, DISPATCH_METHOD, {VUnknown(other.get(), VT_UNKNOWN)}, S_OK, ~0u},
      {3, DISPATCH_METHOD, {Make(VT_UNKNOWN | VT_BYREF, &unknown)}, S_OK, ~0u},
      {3, DISPATCH_METHOD, {VEmpty()}, S_OK, ~0u},  // Nothing
      {3, DISPATCH_METHOD, {Make(VT_DISPATCH | VT_BYREF, nullptr)}, DISP_E_TYPEMISMATCH, 0},
      {3, DISPATCH_METHOD, {VUnknown(bytes.get())}, DISP_E_TYPEMISMATCH, 0},
      {3, DISPATCH_METHOD, {VR8(2)}, DISP_E_TYPEMISMATCH, 0}};
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& [id, flags, args, hr, argErr] = cases[i];
    Outcome o;
    Invoke(o, array.get(), id, flags, args);
    EXPECT_EQ(std::make_pair(o.hr, o.argErr), std::make_pair(hr, argErr)) << "case " << i;
  }
  VARIANT one = VI4(1), nullRef = Make(VT_VARIANT | VT_BYREF, nullptr);
  VARIANT twice[2] = {VI4(3), VI4(4)};
  DISPID wrongName = 5, first = 0;
  DISPPARAMS none{nullptr, nullptr, 0, 0}, noArray{nullptr, nullptr, 2, 0};
  DISPPARAMS noNames{&one, nullptr, 1, 1}, moreNamed{&one, nullptr, 1, 2};
  DISPPARAMS byNullRef{&nullRef, nullptr, 1, 0}, unknownName{&one, &wrongName, 1, 1};
  DISPPARAMS repeated{twice, &first, 2, 1};  // a named argument a positional one already gives
  const std::tuple<DISPID, IID, WORD, DISPPARAMS*, HRESULT, UINT> malformed[] = {
      {1, IID_NULL, kGet, nullptr, E_INVALIDARG, 99},
      {0, IID_NULL, kGet, &noArray, E_INVALIDARG, 99},
      {1, IID_NULL, kPut, &noNames, E_INVALIDARG, 99},
      {1, IID_NULL, kPut, &moreNamed, E_INVALIDARG, 99},
      {1, IID_NULL, 0, &none, E_INVALIDARG, 99},
      {1, IID_IDispatch, kGet, &none, DISP_E_UNKNOWNINTERFACE, 99},
      {0, IID_NULL, kGet, &byNullRef, DISP_E_TYPEMISMATCH, 0},
      {1, IID_NULL, kPut, &unknownName, DISP_E_PARAMNOTFOUND, 0},
      {0, IID_NULL, kGet, &repeated, DISP_E_PARAMNOTFOUND, 0},
  };
  for (const auto& [id, iid, flags, params, hr, argErr] : malformed) {
    VARIANT result = VEmpty();
    UINT err = 99;
    const HRESULT got = array->Invoke(id, iid, 0, flags, params, &result, nullptr, &err);
    EXPECT_EQ(std::make_pair(got, err), std::make_pair(hr, argErr))
        << id << " " << flags << " " << hr;
  }
  EXPECT_EQ(array->Invoke(1, IID_NULL, 0, kGet, &none, nullptr, nullptr, nullptr), S_OK);
}

TEST(Dispatch, ArgumentsAreConvertedLikeAutomationDoes) {
  Ref<IDispatch> array = New(arrays::CreateDoubleArray);
  TBstr count(" 6 "), half("2.5"), real("-1.25E1");
  std::vector<std::pair<VARIANT, LONG>> counts = {
      {Make(VT_I2, SHORT(4)), 4}, {Make(VT_UI1, BYTE(5)), 5}, {VR8(2.5), 2},   {VR8(3.5), 4},
      {Make(VT_R4, 1.5f), 2},     {VStr(count), 6},           {VStr(half), 2}, {VEmpty(), 0}};
  // Halves round to even above; every other numeric type, currency in ten-thousandths.
  for (const VARIANT& seven :
       {Make(VT_I1, char(7)), Make(VT_UI2, USHORT(7)), Make(VT_UI4, ULONG(7)), Make(VT_INT, INT(7)),
        Make(VT_UINT, UINT(7)), Make(VT_I8, LONGLONG(7)), Make(VT_UI8, ULONGLONG(7)),
        Make(VT_DATE, 7.0), Make(VT_CY, LONGLONG(70000))})
    counts.push_back({seven, 7});
  for (const auto& [arg, expected] : counts) {
    Outcome put, got;
    Invoke(put, array.get(), 1, kPut, {arg});
    Invoke(got, array.get(), 1, kGet, {});
    EXPECT_EQ(std::make_pair(put.hr, V_I4(&got.result)), std::make_pair(S_OK, expected))
        << V_VT(&arg);
  }
  VARIANT inner = VI4(2);
  LONG direct = 1;
  const std::tuple<VARIANT, VARIANT, double> puts[] = {
      {VRefI4(&direct), VStr(real), -12.5},
      {VRef(&inner), Make(VT_BOOL, VARIANT_TRUE), -1.0},
      {VI4(0), VStr(half), 2.5}};
  for (const auto& [index, value, expected] : puts) {
    Outcome put, got;
    Invoke(put, array.get(), DISPID_VALUE, kPut, {index, value});
    Invoke(got, array.get(), DISPID_VALUE, kGet, {index});  // "array(i)": method and get flags
    EXPECT_DOUBLE_EQ(V_R8(&got.result), expected);
  }
  VARIANT args[2] = {VR8(7), VI4(1)};
  DISPPARAMS plain{args, nullptr, 2, 0};
  EXPECT_EQ(array->Invoke(0, IID_NULL, 0, kPut, &plain, nullptr, nullptr, nullptr), S_OK);
  // The method flag alone reads a property; a variant result keeps its own type.
  Outcome whole;
  Invoke(whole, array.get(), 2, DISPATCH_METHOD, {});
  ASSERT_EQ(V_VT(&whole.result), VT_ARRAY | VT_R8);
  EXPECT_EQ(static_cast<double*>(V_ARRAY(&whole.result)->pvData)[1], 7);
  Ref<IDispatch> other = New(arrays::CreateDoubleArray);
  Outcome copy, copied;
  Invoke(copy, other.get(), 2, kPut, {VRef(&whole.result)});
  Invoke(copied, other.get(), 1, kGet, {});
  EXPECT_EQ(V_I4(&copied.result), 7);
}

TEST(Dispatch, OutParametersAreWrittenThroughReferences) {
  VARIANT wholeVar = VEmpty(), halfVar = VI4(99);
  DISPID named[3] = {2, 0, 1};
  VARIANT args[3] = {VRef(&halfVar), VR8(8), VRef(&wholeVar)};
  DISPPARAMS params{args, named, 3, 3};
  EXPECT_EQ(DispatchInvoke(kProbeDesc, kProbe, nullptr, 1, IID_NULL, DISPATCH_METHOD, &params,
                           nullptr, nullptr, nullptr),
            S_OK);
  EXPECT_EQ(std::make_tuple(V_VT(&wholeVar), V_I4(&wholeVar), V_VT(&halfVar), V_R8(&halfVar)),
            std::make_tuple(VT_I4, 16, VT_R8, 4.0));
  LONG whole = 0;
  double half = 0;
  const VARIANT halfRef = Make(VT_R8 | VT_BYREF, &half);
  const std::tuple<std::vector<VARIANT>, HRESULT, UINT> bad[] = {
      {{VR8(1), VR8(0), halfRef}, DISP_E_TYPEMISMATCH, 1},
      {{VR8(1), VRefI4(&whole), VRefI4(&whole)}, DISP_E_TYPEMISMATCH, 0},
      {{VR8(1), VRefI4(&whole), VMissing()}, DISP_E_PARAMNOTOPTIONAL, 0}};
  for (const auto& [call, hr, argErr] : bad) {
    Outcome e;
    CallProbe(e, 1, call);
    EXPECT_EQ(std::make_pair(e.hr, e.argErr), std::make_pair(hr, argErr)) << call.size();
  }
}

TEST(Dispatch, ExceptionBecomesStatusErrorInfoAndExcepInfo) {
  test::ReportCapture reports;
  LONG whole = 5;
  double half = 5;
  const VARIANT outs[] = {VRefI4(&whole), Make(VT_R8 | VT_BYREF, &half)};
  for (const auto& [value, status, description] :
       {std::tuple{-1.0, E_UNEXPECTED, "Negative value"},
        std::tuple{13.0, E_ACCESSDENIED, "Access refused"}}) {
    Outcome o;
    CallProbe(o, 1, {VR8(value), outs[0], outs[1]});
    EXPECT_EQ(std::make_pair(o.hr, o.excep.scode), std::make_pair(DISP_E_EXCEPTION, status));
    EXPECT_EQ(o.Description() + " from " + o.Source(),
              std::string(description) + " from Quellar.Tuning");
    test::TakenErrorInfo info = test::TakeErrorInfo();  // still there for clients that ask
    EXPECT_EQ(info.refsLeft, 0u);                       // nothing else holds the error information
    EXPECT_EQ(info.text, std::string(description) + " from Quellar.Tuning");
    EXPECT_TRUE(info.guid == IID_ITuning);
  }
  EXPECT_EQ(whole, 5);  // a failed call writes no out-parameter
  Outcome failed, succeeded, plain;
  CallProbe(failed, 1, {VR8(13), outs[0], outs[1]});
  CallProbe(succeeded, 1, {VR8(21), outs[0], outs[1]});
  EXPECT_EQ(std::make_pair(whole, half), std::make_pair(LONG{42}, 10.5));
  EXPECT_EQ(test::TakeErrorInfo().text, "");  // a successful call clears it
  // A failure without error information names the object in EXCEPINFO.
  BYTE byte = 1;
  CallProbe(plain, 3, {VI4(13), Make(VT_UI1 | VT_BYREF, &byte)});
  EXPECT_EQ(std::make_pair(plain.hr, plain.excep.scode), std::make_pair(DISP_E_EXCEPTION, E_FAIL));
  EXPECT_EQ(plain.Description() + " from " + plain.Source(), " from Quellar.Probe");
}

TEST(Dispatch, ArgumentsOfBooleanByteAndTextParameters) {
  TBstr yes("True"), no("false"), zero("0"), word("yes");
  TBstr name("C:\\programs\\\xD0\xA2\xD0\xB5\xD1\x81\xD1\x82.bin");  // a Cyrillic file name
  BSTR raw = name.get();
  const std::string path = FromBstr(raw);
  const std::tuple<DISPID, VARIANT, HRESULT, std::string> cases[] = {
      {2, VStr(yes), S_OK, "-1"},
      {2, VStr(no), S_OK, "0"},
      {2, VStr(zero), S_OK, "0"},
      {2, VI4(-5), S_OK, "-1"},
      {2, VR8(0.25), S_OK, "-1"},
      {2, VStr(word), DISP_E_TYPEMISMATCH, "7"},
      {3, VI4(255), S_OK, "255"},
      {3, VI4(256), DISP_E_OVERFLOW, "1"},
      {3, VI4(-1), DISP_E_OVERFLOW, "1"},
      {4, VStr(name), S_OK, path},
      {4, Make(VT_BSTR | VT_BYREF, &raw), S_OK, path},
      {4, VR8(2.5), S_OK, "2.5"},
      {4, VI4(-7), S_OK, "-7"},
      {4, Make(VT_BOOL, VARIANT_TRUE), S_OK, "True"},
      {4, VEmpty(), S_OK, ""},
      {4, Make(VT_BSTR | VT_BYREF, nullptr), DISP_E_TYPEMISMATCH, "old"},
      {4, VUnknown(nullptr), DISP_E_TYPEMISMATCH, "old"}};
  for (const auto& [member, arg, hr, expected] : cases) {
    VARIANT_BOOL flag = 7;
    BYTE byte = 1;
    BSTR text = NewBstr("old");  // replaced, and freed by the call
    const VARIANT outs[] = {Make(VT_BOOL | VT_BYREF, &flag), Make(VT_UI1 | VT_BYREF, &byte),
                            Make(VT_BSTR | VT_BYREF, &text)};
    Outcome o;
    CallProbe(o, member, {arg, outs[member - 2]});
    const std::string got[] = {std::to_string(flag), std::to_string(byte), FromBstr(text)};
    EXPECT_EQ(std::make_pair(o.hr, got[member - 2]), std::make_pair(hr, expected)) << expected;
    SysFreeString(text);
  }
}

}  // namespace
}  // namespace quellar::automation
