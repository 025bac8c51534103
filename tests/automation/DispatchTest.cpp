// Late binding: name lookup, argument conversion, wrong names, counts and types, out and
// interface parameters, and failures reported through EXCEPINFO.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <string>

#include "arrays/PrtArray.h"
#include "arrays/PrtByteArray.h"
#include "automation/ClassRegistry.h"
#include "automation/LateBoundTestSupport.h"
#include "support/TestSupport.h"

namespace quellar::automation {
namespace {

using test::IdOf;
using test::Invoke;
using test::kGet;
using test::kPut;
using test::Outcome;
using test::Ref;

constexpr Tag kTagProbeSplit = "{FA5626D6-6999-41ED-87CC-6A4BC06B01C1}";
const ErrorSource kProbe = {"Quellar.Probe", &IID_IDispatch};

// An interface described here, for the parameter kinds the array objects do not take. Split
// fails like a method body for negative values and 13; EchoByte fails for 13 on its own.
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
  if (member == 4) {
    V_DISPATCH(&a[1]) = nullptr;
    auto* in = static_cast<IUnknown*>(V_BYREF(&a[0]));
    if (in) in->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&V_DISPATCH(&a[1])));
  }
  return S_OK;
}
constexpr ParamDesc In(const char* name, VARTYPE type, const IID* iid = nullptr) {
  return {name, type, iid, kParamIn};
}
constexpr ParamDesc Out(const char* name, VARTYPE type, uint8_t flags = kParamOut) {
  return {name, type, type == VT_DISPATCH ? &IID_IDispatch : nullptr, flags};
}
const ParamDesc kSplit[] = {In("Value", VT_R8), Out("Whole", VT_I4), Out("Half", VT_R8)};
const ParamDesc kBools[] = {In("In", VT_BOOL), Out("Out", VT_BOOL)};
const ParamDesc kBytes[] = {In("In", VT_UI1), Out("Out", VT_UI1)};
const ParamDesc kTexts[] = {In("In", VT_BSTR), Out("Out", VT_BSTR)};
const ParamDesc kPass[] = {In("Array", VT_DISPATCH, &IID_IDoubleArray),
                           Out("Result", VT_DISPATCH, kParamOut | kParamRetval)};
const MemberDesc kMembers[] = {{"Split", 1, MemberKind::Method, 7, kSplit, 3, ""},
                               {"EchoBool", 2, MemberKind::Method, 8, kBools, 2, ""},
                               {"EchoByte", 3, MemberKind::Method, 9, kBytes, 2, ""},
                               {"EchoText", 4, MemberKind::Method, 10, kTexts, 2, ""},
                               {"Pass", 5, MemberKind::Method, 11, kPass, 2, ""}};
const InterfaceDesc kProbeDesc = {"IProbe", &IID_IDispatch, "", false, kMembers, 5, InvokeProbe};

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
std::string Recased(std::string s, int (*to)(int)) {
  for (char& c : s) c = static_cast<char>(to(static_cast<unsigned char>(c)));
  return s;
}
HRESULT LookUp(const InterfaceDesc& itf, std::vector<std::string> names, DISPID* ids) {
  std::vector<OleString> wide;
  std::vector<LPOLESTR> raw;
  for (const std::string& name : names) wide.push_back(ToOle(name));
  for (OleString& w : wide) raw.push_back(w.data());
  return DispatchGetIDsOfNames(itf, IID_NULL, raw.data(), static_cast<UINT>(raw.size()), ids);
}

TEST(Dispatch, EveryMemberIsFoundByNameInAnyCase) {
  for (size_t i = 0; i < kQuellarLibrary.interfaceCount; ++i) {
    const InterfaceDesc& itf = *kQuellarLibrary.interfaces[i];
    for (size_t m = 0; m < itf.memberCount; ++m) {
      const std::string name = itf.members[m].name;
      for (const std::string& spelled : {name, Recased(name, toupper), Recased(name, tolower)}) {
        DISPID id = -99;
        EXPECT_EQ(LookUp(itf, {spelled}, &id), S_OK) << itf.name << "." << spelled;
        EXPECT_EQ(id, itf.members[m].id) << itf.name << "." << spelled;
      }
    }
    DISPID id = 5;
    EXPECT_EQ(LookUp(itf, {"NoSuchMember"}, &id), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(id, DISPID_UNKNOWN);
    EXPECT_EQ(LookUp(itf, {""}, &id), DISP_E_UNKNOWNNAME);
  }
}

TEST(Dispatch, ParameterNamesAndLiveObjects) {
  // Parameter names come back as their positions; a result or an unknown name as DISPID_UNKNOWN.
  DISPID ids[4] = {7, 7, 7, 7};
  EXPECT_EQ(LookUp(kProbeDesc, {"split", "HALF", "value", "Whole"}, ids), S_OK);
  EXPECT_EQ(std::vector<DISPID>(ids, ids + 4), (std::vector<DISPID>{1, 2, 0, 1}));
  EXPECT_EQ(LookUp(kProbeDesc, {"pass", "Result", "array"}, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(std::vector<DISPID>(ids, ids + 3), (std::vector<DISPID>{5, DISPID_UNKNOWN, 0}));

  Ref<IDispatch> doubles = New(arrays::CreateDoubleArray), bytes = New(arrays::CreateByteArray);
  EXPECT_EQ(IdOf(bytes.get(), "ITEM"), DISPID_VALUE);
  EXPECT_EQ(IdOf(doubles.get(), "minindex"), 9);
  EXPECT_EQ(IdOf(bytes.get(), "Mean"), DISPID_UNKNOWN);  // statistics are double-only
  OleString item = ToOle("item");
  LPOLESTR names[] = {item.data()}, nullName[] = {nullptr};
  EXPECT_EQ(doubles->GetIDsOfNames(IID_IDispatch, names, 1, 0, ids), DISP_E_UNKNOWNINTERFACE);
  EXPECT_EQ(doubles->GetIDsOfNames(IID_NULL, nullptr, 1, 0, ids), E_INVALIDARG);
  EXPECT_EQ(doubles->GetIDsOfNames(IID_NULL, names, 1, 0, nullptr), E_INVALIDARG);
  EXPECT_EQ(doubles->GetIDsOfNames(IID_NULL, nullName, 1, 0, ids), DISP_E_UNKNOWNNAME);
}

// Calls that late-bound clients get wrong, against a live DoubleArray of three items.
TEST(Dispatch, WrongNamesCountsAndTypesGiveDispatchCodes) {
  test::ReportCapture reports;
  Ref<IDispatch> array = New(arrays::CreateDoubleArray), bytes = New(arrays::CreateByteArray);
  Outcome grow;
  Invoke(grow, array.get(), 1, kPut, {test::VI4(3)});
  ASSERT_EQ(grow.hr, S_OK);
  TBstr word("three"), huge("1e30");
  struct Case {
    const char* what;
    DISPID id;
    WORD flags;
    std::vector<VARIANT> args;
    HRESULT hr;
    UINT argErr;  // index into rgvarg (reversed order); ~0u when not set
  };
  const Case cases[] = {
      {"unknown DISPID", 77, kGet, {}, DISP_E_MEMBERNOTFOUND, ~0u},
      {"put on a method", 5, kPut, {test::VR8(1)}, DISP_E_MEMBERNOTFOUND, ~0u},
      {"property get of a method", 5, DISPATCH_PROPERTYGET, {}, DISP_E_MEMBERNOTFOUND, ~0u},
      {"Item without index", 0, kGet, {}, DISP_E_BADPARAMCOUNT, ~0u},
      {"Item with two indexes", 0, kGet, {test::VI4(0), test::VI4(1)}, DISP_E_BADPARAMCOUNT, ~0u},
      {"Sum with an argument", 5, kGet, {test::VI4(1)}, DISP_E_BADPARAMCOUNT, ~0u},
      {"Item put without value", 0, kPut, {}, DISP_E_BADPARAMCOUNT, ~0u},
      {"index as text", 0, kGet, {test::VStr(word)}, DISP_E_TYPEMISMATCH, 0},
      {"index too large for long", 0, kGet, {test::VStr(huge)}, DISP_E_OVERFLOW, 0},
      {"index as NaN", 0, kGet, {test::VR8(std::nan(""))}, DISP_E_OVERFLOW, 0},
      {"value as object",
       0,
       kPut,
       {test::VI4(0), test::VUnknown(array.get())},
       DISP_E_TYPEMISMATCH,
       0},
      {"index as missing", 0, kGet, {test::VMissing()}, DISP_E_PARAMNOTOPTIONAL, 0},
      {"index by null reference",
       0,
       kGet,
       {test::Make(VT_I4 | VT_BYREF, nullptr)},
       DISP_E_TYPEMISMATCH,
       0},
      {"index as null array",
       0,
       kGet,
       {test::Make(VT_ARRAY | VT_I4, nullptr)},
       DISP_E_TYPEMISMATCH,
       0},
      {"CopyFrom a byte array",
       3,
       DISPATCH_METHOD,
       {test::VUnknown(bytes.get())},
       DISP_E_TYPEMISMATCH,
       0},
      {"CopyFrom a number", 3, DISPATCH_METHOD, {test::VR8(2)}, DISP_E_TYPEMISMATCH, 0},
      {"Count put as null", 1, kPut, {test::Make(VT_NULL, 0)}, DISP_E_TYPEMISMATCH, 0},
  };
  for (const Case& c : cases) {
    Outcome o;
    Invoke(o, array.get(), c.id, c.flags, c.args);
    EXPECT_EQ(o.hr, c.hr) << c.what;
    EXPECT_EQ(o.argErr, c.argErr) << c.what;
  }
  EXPECT_EQ(reports.Count(), 0u);  // client mistakes are no reports
  Outcome count;                   // nothing above changed the array
  Invoke(count, array.get(), 1, kGet, {});
  EXPECT_EQ(V_I4(&count.result), 3);
  // A failing method: DISP_E_EXCEPTION with the object's error information in EXCEPINFO.
  Outcome outside;
  Invoke(outside, array.get(), DISPID_VALUE, kGet, {test::VI4(9)});
  EXPECT_EQ(outside.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(outside.excep.scode, DISP_E_BADINDEX);
  EXPECT_EQ(outside.Description(), "Index 9 is outside the array of 3 items");
  EXPECT_EQ(outside.Source(), "Quellar.DoubleArray");
}

TEST(Dispatch, MalformedCallsAreRefusedWithoutCrashing) {
  Ref<IDispatch> array = New(arrays::CreateDoubleArray);
  VARIANT one = test::VI4(1), nullRef = test::Make(VT_VARIANT | VT_BYREF, nullptr);
  VARIANT twice[2] = {test::VI4(3), test::VI4(4)};
  DISPID wrongName = 5, first = 0;
  DISPPARAMS none{nullptr, nullptr, 0, 0}, noArray{nullptr, nullptr, 2, 0};
  DISPPARAMS noNames{&one, nullptr, 1, 1}, moreNamed{&one, nullptr, 1, 2};
  DISPPARAMS byNullRef{&nullRef, nullptr, 1, 0}, unknownName{&one, &wrongName, 1, 1};
  DISPPARAMS repeated{twice, &first, 2, 1};  // a named argument a positional one already gives
  struct Case {
    DISPID id;
    IID iid;
    WORD flags;
    DISPPARAMS* params;
    HRESULT hr;
    UINT argErr;
  };
  const Case cases[] = {
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
  for (const Case& c : cases) {
    VARIANT result = test::VEmpty();
    UINT argErr = 99;
    EXPECT_EQ(array->Invoke(c.id, c.iid, 0, c.flags, c.params, &result, nullptr, &argErr), c.hr)
        << &c - cases;
    EXPECT_EQ(argErr, c.argErr) << &c - cases;
  }
  // No result wanted, no EXCEPINFO, no argErr: still fine.
  EXPECT_EQ(array->Invoke(1, IID_NULL, 0, kGet, &none, nullptr, nullptr, nullptr), S_OK);
}

TEST(Dispatch, ArgumentsAreConvertedLikeAutomationDoes) {
  Ref<IDispatch> array = New(arrays::CreateDoubleArray);
  TBstr count(" 6 "), half("2.5"), real("-1.25E1");
  std::vector<std::pair<VARIANT, LONG>> counts = {
      {test::VI2(4), 4},     {test::VUI1(5), 5},      {test::VR8(2.5), 2},
      {test::VR8(3.5), 4},   {test::VR4(1.5f), 2},    {test::VStr(count), 6},
      {test::VStr(half), 2}, {test::VBool(false), 0}, {test::VEmpty(), 0}};
  // Every other numeric type; currency counts ten-thousandths.
  for (const VARIANT& seven :
       {test::Make(VT_I1, char{7}), test::Make(VT_UI2, USHORT{7}), test::Make(VT_UI4, ULONG{7}),
        test::Make(VT_INT, INT{7}), test::Make(VT_UINT, UINT{7}), test::Make(VT_I8, LONGLONG{7}),
        test::Make(VT_UI8, ULONGLONG{7}), test::Make(VT_DATE, 7.0),
        test::Make(VT_CY, LONGLONG{70000})})
    counts.push_back({seven, 7});
  for (const auto& [arg, expected] : counts) {
    Outcome put, got;
    Invoke(put, array.get(), 1, kPut, {arg});
    EXPECT_EQ(put.hr, S_OK) << V_VT(&arg);
    Invoke(got, array.get(), 1, kGet, {});
    EXPECT_EQ(V_I4(&got.result), expected) << V_VT(&arg);
  }
  Outcome grow;
  Invoke(grow, array.get(), 1, kPut, {test::VI4(3)});
  // Values: text, Boolean, by-reference variants as script engines pass their variables.
  VARIANT inner = test::VI4(2);
  LONG direct = 1;
  const std::vector<std::tuple<VARIANT, VARIANT, double>> puts = {
      {test::VRefI4(&direct), test::VStr(real), -12.5},
      {test::VRef(&inner), test::VBool(true), -1.0},
      {test::VI4(0), test::VStr(half), 2.5}};
  for (const auto& [index, value, expected] : puts) {
    Outcome put, got;
    Invoke(put, array.get(), DISPID_VALUE, kPut, {index, value});
    ASSERT_EQ(put.hr, S_OK);
    Invoke(got, array.get(), DISPID_VALUE, kGet, {index});  // "array(i)": method and get flags
    ASSERT_EQ(V_VT(&got.result), VT_R8);
    EXPECT_DOUBLE_EQ(V_R8(&got.result), expected);
  }
  // Some callers pass the new value positionally, without the named argument.
  VARIANT args[2] = {test::VR8(7), test::VI4(1)};
  DISPPARAMS plain{args, nullptr, 2, 0};
  EXPECT_EQ(array->Invoke(0, IID_NULL, 0, kPut, &plain, nullptr, nullptr, nullptr), S_OK);
  Outcome one, whole;
  Invoke(one, array.get(), 0, DISPATCH_METHOD, {test::VI4(1)});
  EXPECT_EQ(V_R8(&one.result), 7);
  // A variant result keeps its own type.
  Invoke(whole, array.get(), 2, kGet, {});
  ASSERT_EQ(V_VT(&whole.result), VT_ARRAY | VT_R8);
  EXPECT_EQ(static_cast<double*>(V_ARRAY(&whole.result)->pvData)[1], 7);
  // A variant parameter takes the variant itself, through a reference too.
  Ref<IDispatch> other = New(arrays::CreateDoubleArray);
  Outcome copy, copied;
  Invoke(copy, other.get(), 2, kPut, {test::VRef(&whole.result)});
  Invoke(copied, other.get(), 1, kGet, {});
  EXPECT_EQ(V_I4(&copied.result), 3);
}

TEST(Dispatch, OutParametersAreWrittenThroughReferences) {
  LONG whole = 0;
  double half = 0;
  Outcome o;
  CallProbe(o, 1, {test::VR8(21), test::VRefI4(&whole), test::VRefR8(&half)});
  ASSERT_EQ(o.hr, S_OK);
  EXPECT_EQ(whole, 42);
  EXPECT_EQ(half, 10.5);
  // Script engines pass variables as references to variants, which get the parameter's type.
  VARIANT wholeVar = test::VEmpty(), halfVar = test::VI4(99);
  Outcome r;
  CallProbe(r, 1, {test::VR8(5), test::VRef(&wholeVar), test::VRef(&halfVar)});
  ASSERT_EQ(r.hr, S_OK);
  EXPECT_EQ(V_VT(&wholeVar), VT_I4);
  EXPECT_EQ(V_I4(&wholeVar), 10);
  EXPECT_EQ(V_VT(&halfVar), VT_R8);
  EXPECT_EQ(V_R8(&halfVar), 2.5);
  // Named arguments in any order.
  DISPID named[3] = {2, 0, 1};
  VARIANT args[3] = {test::VRefR8(&half), test::VR8(8), test::VRefI4(&whole)};
  DISPPARAMS params{args, named, 3, 3};
  EXPECT_EQ(DispatchInvoke(kProbeDesc, kProbe, nullptr, 1, IID_NULL, DISPATCH_METHOD, &params,
                           nullptr, nullptr, nullptr),
            S_OK);
  EXPECT_EQ(whole, 16);
  EXPECT_EQ(half, 4);
  // An out parameter that is not a reference, or a reference of another type; one missing.
  const std::vector<std::tuple<std::vector<VARIANT>, HRESULT, UINT>> bad = {
      {{test::VR8(1), test::VR8(0), test::VRefR8(&half)}, DISP_E_TYPEMISMATCH, 1},
      {{test::VR8(1), test::VRefI4(&whole), test::VRefI4(&whole)}, DISP_E_TYPEMISMATCH, 0},
      {{test::VR8(1), test::VRefI4(&whole), test::VMissing()}, DISP_E_PARAMNOTOPTIONAL, 0},
      {{test::VR8(1), test::VRefI4(&whole)}, DISP_E_BADPARAMCOUNT, ~0u}};
  for (const auto& [args, hr, argErr] : bad) {
    Outcome e;
    CallProbe(e, 1, args);
    EXPECT_EQ(e.hr, hr) << args.size();
    EXPECT_EQ(e.argErr, argErr) << args.size();
  }
  EXPECT_EQ(whole, 16);
}

TEST(Dispatch, ExceptionBecomesStatusErrorInfoAndExcepInfo) {
  test::ReportCapture reports;
  LONG whole = 5;
  double half = 5;
  struct Case {
    double value;
    HRESULT status;  // what the exception carries, or the default
    const char* description;
  };
  for (const Case& c :
       {Case{-1, E_UNEXPECTED, "Negative value"}, Case{13, E_ACCESSDENIED, "Access refused"}}) {
    Outcome o;
    CallProbe(o, 1, {test::VR8(c.value), test::VRefI4(&whole), test::VRefR8(&half)});
    EXPECT_EQ(o.hr, DISP_E_EXCEPTION);
    EXPECT_EQ(o.excep.scode, c.status);
    EXPECT_EQ(o.Description(), c.description);
    EXPECT_EQ(o.Source(), "Quellar.Tuning");
    test::TakenErrorInfo info = test::TakeErrorInfo();  // still there for clients that ask
    ASSERT_TRUE(info.present);
    EXPECT_EQ(info.refsLeft, 0u);  // nothing else holds the error information
    EXPECT_EQ(info.description, c.description);
    EXPECT_EQ(info.source, "Quellar.Tuning");
    EXPECT_TRUE(info.guid == IID_ITuning);
  }
  EXPECT_EQ(whole, 5);  // a failed call writes no out-parameter
  ASSERT_EQ(reports.Count(), 2u);
  EXPECT_NE(reports.Messages()[1].find(kTagProbeSplit), std::string::npos);
  // A successful call clears the thread's error information.
  Outcome failed, succeeded;
  CallProbe(failed, 1, {test::VR8(13), test::VRefI4(&whole), test::VRefR8(&half)});
  CallProbe(succeeded, 1, {test::VR8(1), test::VRefI4(&whole), test::VRefR8(&half)});
  EXPECT_FALSE(test::TakeErrorInfo().present);
}

TEST(Dispatch, BooleanArgumentsFromTextAndNumbers) {
  TBstr yes("True"), no("false"), zero("0"), two(" 2 "), word("yes");
  struct Case {
    VARIANT arg;
    HRESULT hr;
    VARIANT_BOOL flag;
  };
  const Case cases[] = {
      {test::VStr(yes), S_OK, VARIANT_TRUE},      {test::VStr(no), S_OK, VARIANT_FALSE},
      {test::VStr(zero), S_OK, VARIANT_FALSE},    {test::VStr(two), S_OK, VARIANT_TRUE},
      {test::VI4(0), S_OK, VARIANT_FALSE},        {test::VI4(-5), S_OK, VARIANT_TRUE},
      {test::VR8(0.25), S_OK, VARIANT_TRUE},      {test::VBool(false), S_OK, VARIANT_FALSE},
      {test::VStr(word), DISP_E_TYPEMISMATCH, 7},
  };
  for (const Case& c : cases) {
    VARIANT_BOOL flag = 7;
    Outcome o;
    CallProbe(o, 2, {c.arg, test::Make(VT_BOOL | VT_BYREF, &flag)});
    EXPECT_EQ(o.hr, c.hr);
    EXPECT_EQ(flag, c.flag) << V_VT(&c.arg);
  }
}

// A failure without error information names the object in EXCEPINFO.
TEST(Dispatch, ByteArgumentsInRangeAndFailureWithoutErrorInformation) {
  SetErrorInfo(0, nullptr);
  struct Case {
    LONG in;
    HRESULT hr;
    BYTE out;
    HRESULT scode;
  };
  for (const Case& c :
       {Case{200, S_OK, 200, 0}, Case{255, S_OK, 255, 0}, Case{256, DISP_E_OVERFLOW, 1, 0},
        Case{-1, DISP_E_OVERFLOW, 1, 0}, Case{13, DISP_E_EXCEPTION, 1, E_FAIL}}) {
    BYTE byte = 1;
    Outcome o;
    CallProbe(o, 3, {test::VI4(c.in), test::Make(VT_UI1 | VT_BYREF, &byte)});
    EXPECT_EQ(o.hr, c.hr) << c.in;
    EXPECT_EQ(byte, c.out) << c.in;
    EXPECT_EQ(o.excep.scode, c.scode) << c.in;
    EXPECT_EQ(o.Source(), c.scode ? "Quellar.Probe" : "") << c.in;
    EXPECT_EQ(o.Description(), "") << c.in;
  }
}

TEST(Dispatch, TextArgumentsArriveAsText) {
  TBstr name("C:\\programs\\\xD0\xA2\xD0\xB5\xD1\x81\xD1\x82.bin");  // a Cyrillic file name
  BSTR raw = name.get();
  VARIANT byRef = test::VStr(name);
  struct Case {
    VARIANT arg;
    HRESULT hr;
    std::string text;
  };
  const Case cases[] = {
      {test::VStr(name), S_OK, FromBstr(raw)},
      {test::VRef(&byRef), S_OK, FromBstr(raw)},
      {test::Make(VT_BSTR | VT_BYREF, &raw), S_OK, FromBstr(raw)},
      {test::VR8(2.5), S_OK, "2.5"},  // numbers arrive as their text
      {test::VI4(-7), S_OK, "-7"},
      {test::VBool(true), S_OK, "True"},
      {test::VEmpty(), S_OK, ""},
      {test::Make(VT_BSTR | VT_BYREF, nullptr), DISP_E_TYPEMISMATCH, "old"},
      {test::VUnknown(nullptr), DISP_E_TYPEMISMATCH, "old"},
  };
  for (const Case& c : cases) {
    BSTR out = NewBstr("old");  // replaced, and freed by the call
    Outcome o;
    CallProbe(o, 4, {c.arg, test::Make(VT_BSTR | VT_BYREF, &out)});
    EXPECT_EQ(o.hr, c.hr) << c.text;
    EXPECT_EQ(FromBstr(out), c.text);
    SysFreeString(out);
  }
}

TEST(Dispatch, InterfaceArgumentsAndResults) {
  Ref<IDispatch> doubles = New(arrays::CreateDoubleArray), bytes = New(arrays::CreateByteArray);
  IDispatch* self = doubles.get();
  IUnknown* unknown = self;
  struct Case {
    VARIANT arg;
    HRESULT hr;
    IDispatch* result;
  };
  const Case cases[] = {
      {test::VUnknown(self), S_OK, self},
      {test::VUnknown(self, VT_UNKNOWN), S_OK, self},
      {test::Make(VT_UNKNOWN | VT_BYREF, &unknown), S_OK, self},
      {test::VEmpty(), S_OK, nullptr},  // absent, and read back as Nothing
      {test::VUnknown(nullptr), S_OK, nullptr},
      {test::VUnknown(bytes.get()), DISP_E_TYPEMISMATCH, nullptr},  // no double array
      {test::Make(VT_DISPATCH | VT_BYREF, nullptr), DISP_E_TYPEMISMATCH, nullptr},
      {test::VR8(1), DISP_E_TYPEMISMATCH, nullptr},
  };
  for (const Case& c : cases) {
    Outcome o;
    CallProbe(o, 5, {c.arg});
    EXPECT_EQ(o.hr, c.hr) << &c - cases;
    EXPECT_EQ(V_VT(&o.result), c.hr == S_OK ? VT_DISPATCH : VT_EMPTY) << &c - cases;
    EXPECT_EQ(V_DISPATCH(&o.result), c.result) << &c - cases;
  }
  // A result nobody asks for is released too.
  VARIANT arg = test::VUnknown(self);
  DISPPARAMS one{&arg, nullptr, 1, 0};
  EXPECT_EQ(DispatchInvoke(kProbeDesc, kProbe, nullptr, 5, IID_NULL, DISPATCH_METHOD, &one, nullptr,
                           nullptr, nullptr),
            S_OK);
  EXPECT_EQ(self->AddRef(), 2u);  // every reference the calls took is given back
  self->Release();
}

TEST(Dispatch, SupportErrorInfoAndNoTypeInfoWithoutOleRuntime) {
  Ref<IDispatch> array = New(arrays::CreateDoubleArray);
  Ref<ISupportErrorInfo> support;
  ASSERT_EQ(array->QueryInterface(IID_ISupportErrorInfo, support.outVoid()), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IDoubleArray), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IByteArray), S_FALSE);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);
  UINT count = 5;
  EXPECT_EQ(array->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 0u);
  ITypeInfo* info = reinterpret_cast<ITypeInfo*>(&count);
  EXPECT_EQ(array->GetTypeInfo(0, 0, &info), E_NOTIMPL);
  EXPECT_EQ(info, nullptr);
  EXPECT_EQ(array->GetTypeInfo(1, 0, &info), DISP_E_BADINDEX);
  EXPECT_EQ(array->GetTypeInfoCount(nullptr), E_POINTER);
}

}  // namespace
}  // namespace quellar::automation
