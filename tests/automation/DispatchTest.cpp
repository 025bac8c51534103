// Late binding: name lookup over every member of every interface, argument conversion, wrong
// names, counts and types, out parameters, and failures reported through EXCEPINFO.
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

constexpr Tag kTagFakeDurations = "{25B491F2-BF96-4538-83B0-B975C993DCA7}";
constexpr Tag kTagFakeResonance = "{FA5626D6-6999-41ED-87CC-6A4BC06B01C1}";
constexpr Tag kTagFakeGain = "{8CE7C141-2D9F-4EDB-AB8D-E8240BA64945}";
constexpr Tag kTagFakePeriod = "{E420D166-3C84-47F8-A184-29BCE144E024}";

// A tuning object written here: its results are functions of its inputs, and two inputs
// make it fail, one with its own status code.
class TFakeTuning final : public TAutoObject<ITuning> {
 public:
  TFakeTuning() : TAutoObject("Quellar.Tuning") {}
  HRESULT STDMETHODCALLTYPE Durations(DOUBLE* d90, DOUBLE* d180, VARIANT_BOOL* ok) override {
    if (!d90 || !d180 || !ok) return E_POINTER;
    *ok = VARIANT_FALSE;
    return Call(kTagFakeDurations, [&] {
      *d90 = 2.5;
      *d180 = 5.0;
      *ok = VARIANT_TRUE;
    });
  }
  HRESULT STDMETHODCALLTYPE Resonance(DOUBLE d90, LONG* rough, LONG* precise,
                                      VARIANT_BOOL* ok) override {
    if (!rough || !precise || !ok) return E_POINTER;
    *ok = VARIANT_FALSE;
    return Call(kTagFakeResonance, [&] {
      if (d90 < 0) Raise<EQuellarError>("Negative duration");
      if (d90 == 13) Raise<EQuellarError>("Access refused", E_ACCESSDENIED);
      *rough = static_cast<LONG>(d90) * 2;
      *precise = 7;
      *ok = VARIANT_TRUE;
    });
  }
  HRESULT STDMETHODCALLTYPE Gain(DOUBLE d90, LONG* gain, VARIANT_BOOL* ok) override {
    if (!gain || !ok) return E_POINTER;
    *ok = VARIANT_FALSE;
    return Call(kTagFakeGain, [&] {
      *gain = static_cast<LONG>(d90 * 10);
      *ok = VARIANT_TRUE;
    });
  }
  HRESULT STDMETHODCALLTYPE Period(DOUBLE d90, DOUBLE from, DOUBLE to, DOUBLE* period,
                                   VARIANT_BOOL* ok) override {
    if (!period || !ok) return E_POINTER;
    *ok = VARIANT_FALSE;
    return Call(kTagFakePeriod, [&] {
      *period = (from + to) / 2 + d90;
      *ok = VARIANT_TRUE;
    });
  }
};

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}
std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

HRESULT LookUp(const InterfaceDesc& itf, const std::string& name, DISPID* id) {
  OleString wide = ToOle(name);
  LPOLESTR names[] = {wide.data()};
  return DispatchGetIDsOfNames(itf, IID_NULL, names, 1, id);
}

TEST(Dispatch, EveryMemberIsFoundByNameInAnyCase) {
  for (size_t i = 0; i < kQuellarLibrary.interfaceCount; ++i) {
    const InterfaceDesc& itf = *kQuellarLibrary.interfaces[i];
    for (size_t m = 0; m < itf.memberCount; ++m) {
      const std::string name = itf.members[m].name;
      for (const std::string& spelled : {name, Upper(name), Lower(name)}) {
        DISPID id = -99;
        EXPECT_EQ(LookUp(itf, spelled, &id), S_OK) << itf.name << "." << spelled;
        EXPECT_EQ(id, itf.members[m].id) << itf.name << "." << spelled;
      }
    }
    DISPID id = 5;
    EXPECT_EQ(LookUp(itf, "NoSuchMember", &id), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(id, DISPID_UNKNOWN);
    EXPECT_EQ(LookUp(itf, "", &id), DISP_E_UNKNOWNNAME);
  }
}

TEST(Dispatch, NameLookupOnLiveObjects) {
  Ref<IDispatch> doubles, bytes;
  ASSERT_EQ(arrays::CreateDoubleArray(IID_IDispatch, doubles.outVoid()), S_OK);
  ASSERT_EQ(arrays::CreateByteArray(IID_IDispatch, bytes.outVoid()), S_OK);
  EXPECT_EQ(IdOf(doubles.get(), "item"), DISPID_VALUE);
  EXPECT_EQ(IdOf(bytes.get(), "ITEM"), DISPID_VALUE);
  EXPECT_EQ(IdOf(doubles.get(), "minindex"), 9);
  HRESULT hr = S_OK;
  EXPECT_EQ(IdOf(bytes.get(), "Mean", &hr), DISPID_UNKNOWN);  // statistics are double-only
  EXPECT_EQ(hr, DISP_E_UNKNOWNNAME);

  // Parameter names come back as their positions; unknown ones as DISPID_UNKNOWN.
  OleString member = ToOle("item"), ind = ToOle("IND"), bogus = ToOle("Index");
  LPOLESTR names[] = {member.data(), ind.data(), bogus.data()};
  DISPID ids[3] = {7, 7, 7};
  EXPECT_EQ(doubles->GetIDsOfNames(IID_NULL, names, 3, 0, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], 0);
  EXPECT_EQ(ids[1], 0);
  EXPECT_EQ(ids[2], DISPID_UNKNOWN);

  const IID other = IID_IDispatch;
  EXPECT_EQ(doubles->GetIDsOfNames(other, names, 1, 0, ids), DISP_E_UNKNOWNINTERFACE);
  EXPECT_EQ(doubles->GetIDsOfNames(IID_NULL, nullptr, 1, 0, ids), E_INVALIDARG);
  EXPECT_EQ(doubles->GetIDsOfNames(IID_NULL, names, 1, 0, nullptr), E_INVALIDARG);
  LPOLESTR nullName[] = {nullptr};
  EXPECT_EQ(doubles->GetIDsOfNames(IID_NULL, nullName, 1, 0, ids), DISP_E_UNKNOWNNAME);
}

// Calls that late-bound clients get wrong, against a live DoubleArray of three items.
TEST(Dispatch, WrongNamesCountsAndTypesGiveDispatchCodes) {
  test::ReportCapture reports;
  Ref<IDispatch> array;
  ASSERT_EQ(arrays::CreateDoubleArray(IID_IDispatch, array.outVoid()), S_OK);
  Ref<IDispatch> bytes;
  ASSERT_EQ(arrays::CreateByteArray(IID_IDispatch, bytes.outVoid()), S_OK);
  {
    Outcome o;
    Invoke(o, array.get(), 1, kPut, {test::VI4(3)});
    ASSERT_EQ(o.hr, S_OK);
  }
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
      {"CopyFrom a byte array",
       3,
       DISPATCH_METHOD,
       {test::VUnknown(bytes.get())},
       DISP_E_TYPEMISMATCH,
       0},
      {"CopyFrom a number", 3, DISPATCH_METHOD, {test::VR8(2)}, DISP_E_TYPEMISMATCH, 0},
      {"Count put as null variant",
       1,
       kPut,
       {[] {
         VARIANT v = test::VEmpty();
         V_VT(&v) = VT_NULL;
         return v;
       }()},
       DISP_E_TYPEMISMATCH,
       0},
  };
  for (const Case& c : cases) {
    Outcome o;
    Invoke(o, array.get(), c.id, c.flags, c.args);
    EXPECT_EQ(o.hr, c.hr) << c.what;
    EXPECT_EQ(o.argErr, c.argErr) << c.what;
  }
  EXPECT_EQ(reports.Count(), 0u);  // client mistakes are no reports

  // Nothing above changed the array.
  Outcome count;
  Invoke(count, array.get(), 1, kGet, {});
  EXPECT_EQ(V_I4(&count.result), 3);
}

TEST(Dispatch, MalformedCallsAreRefusedWithoutCrashing) {
  Ref<IDispatch> array;
  ASSERT_EQ(arrays::CreateDoubleArray(IID_IDispatch, array.outVoid()), S_OK);
  VARIANT result;
  VariantInit(&result);
  EXPECT_EQ(array->Invoke(1, IID_NULL, 0, kGet, nullptr, &result, nullptr, nullptr), E_INVALIDARG);
  DISPPARAMS noArray{nullptr, nullptr, 2, 0};
  EXPECT_EQ(array->Invoke(0, IID_NULL, 0, kGet, &noArray, &result, nullptr, nullptr), E_INVALIDARG);
  VARIANT arg = test::VI4(1);
  DISPPARAMS noNames{&arg, nullptr, 1, 1};
  EXPECT_EQ(array->Invoke(1, IID_NULL, 0, kPut, &noNames, nullptr, nullptr, nullptr), E_INVALIDARG);
  DISPPARAMS moreNamed{&arg, nullptr, 1, 2};
  EXPECT_EQ(array->Invoke(1, IID_NULL, 0, kPut, &moreNamed, nullptr, nullptr, nullptr),
            E_INVALIDARG);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(array->Invoke(1, IID_NULL, 0, 0, &none, &result, nullptr, nullptr), E_INVALIDARG);
  EXPECT_EQ(array->Invoke(1, IID_IDispatch, 0, kGet, &none, &result, nullptr, nullptr),
            DISP_E_UNKNOWNINTERFACE);
  // No result wanted, no EXCEPINFO, no argErr: still fine.
  EXPECT_EQ(array->Invoke(1, IID_NULL, 0, kGet, &none, nullptr, nullptr, nullptr), S_OK);
  VARIANT bad = test::VEmpty();
  V_VT(&bad) = VT_VARIANT | VT_BYREF;  // null reference
  DISPPARAMS nullRef{&bad, nullptr, 1, 0};
  UINT argErr = 99;
  EXPECT_EQ(array->Invoke(0, IID_NULL, 0, kGet, &nullRef, &result, nullptr, &argErr),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argErr, 0u);
  // An unknown named argument.
  DISPID named = 5;
  VARIANT value = test::VI4(2);
  DISPPARAMS wrongName{&value, &named, 1, 1};
  EXPECT_EQ(array->Invoke(1, IID_NULL, 0, kPut, &wrongName, nullptr, nullptr, &argErr),
            DISP_E_PARAMNOTFOUND);
  EXPECT_EQ(argErr, 0u);
  // A named argument for a parameter that a positional one already gives.
  VARIANT twice[2] = {test::VI4(3), test::VI4(4)};
  DISPID first = 0;
  DISPPARAMS repeated{twice, &first, 2, 1};
  argErr = 99;
  EXPECT_EQ(array->Invoke(0, IID_NULL, 0, kGet, &repeated, &result, nullptr, &argErr),
            DISP_E_PARAMNOTFOUND);
  EXPECT_EQ(argErr, 0u);
}

// Every kind of argument, plain, by null reference and as a null array, in every position of
// every array member: each call is refused or converted, none touches memory it must not.
TEST(Dispatch, AnyArgumentKindIsRefusedOrConverted) {
  test::ReportCapture reports;
  Ref<IDispatch> doubles, bytes;
  ASSERT_EQ(arrays::CreateDoubleArray(IID_IDispatch, doubles.outVoid()), S_OK);
  ASSERT_EQ(arrays::CreateByteArray(IID_IDispatch, bytes.outVoid()), S_OK);
  std::vector<VARTYPE> kinds;
  for (VARTYPE vt = 0; vt <= VT_UINT; ++vt) kinds.push_back(vt);
  kinds.push_back(VT_RECORD);
  kinds.push_back(0xFFF);
  size_t calls = 0;
  for (IDispatch* target : {doubles.get(), bytes.get()}) {
    const InterfaceDesc& itf = target == doubles.get() ? kIDoubleArrayDesc : kIByteArrayDesc;
    for (size_t m = 0; m < itf.memberCount; ++m) {
      const MemberDesc& member = itf.members[m];
      const size_t visible = VisibleParamCount(member);
      const WORD flags = member.kind == MemberKind::PropertyPut ? kPut : kGet;
      for (size_t position = 0; position < visible; ++position) {
        for (VARTYPE kind : kinds) {
          for (VARTYPE modifier : {VARTYPE{0}, VARTYPE{VT_BYREF}, VARTYPE{VT_ARRAY}}) {
            std::vector<VARIANT> args(visible, test::VI4(0));
            VARIANT& odd = args[position];
            VariantInit(&odd);  // null payload: null strings, objects, arrays and references
            V_VT(&odd) = static_cast<VARTYPE>(kind | modifier);
            Outcome o;
            Invoke(o, target, member.id, flags, args);
            EXPECT_TRUE(o.hr == S_OK || o.hr == DISP_E_TYPEMISMATCH || o.hr == DISP_E_EXCEPTION ||
                        o.hr == DISP_E_OVERFLOW || o.hr == DISP_E_PARAMNOTOPTIONAL)
                << itf.name << "." << member.name << " vt " << V_VT(&odd) << " hr " << o.hr;
            ++calls;
          }
        }
      }
    }
  }
  EXPECT_GT(calls, 500u);
  EXPECT_EQ(reports.Count(), 0u);
}

TEST(Dispatch, ArgumentsAreConvertedLikeAutomationDoes) {
  Ref<IDispatch> array;
  ASSERT_EQ(arrays::CreateDoubleArray(IID_IDispatch, array.outVoid()), S_OK);
  Ref<IDoubleArray> typed;
  ASSERT_EQ(array->QueryInterface(IID_IDoubleArray, typed.outVoid()), S_OK);
  TBstr count(" 6 "), half("2.5"), real("-1.25E1");
  const std::vector<std::pair<VARIANT, LONG>> counts = {
      {test::VI2(4), 4},     {test::VUI1(5), 5},      {test::VR8(2.5), 2},
      {test::VR8(3.5), 4},   {test::VR4(1.5f), 2},    {test::VStr(count), 6},
      {test::VStr(half), 2}, {test::VBool(false), 0}, {test::VEmpty(), 0}};
  for (const auto& [arg, expected] : counts) {
    Outcome o;
    Invoke(o, array.get(), 1, kPut, {arg});
    EXPECT_EQ(o.hr, S_OK) << V_VT(&arg);
    LONG n = -1;
    typed->get_Count(&n);
    EXPECT_EQ(n, expected) << V_VT(&arg);
  }
  typed->put_Count(3);
  // Values: text, Boolean, by-reference variants as script engines pass their variables.
  VARIANT inner = test::VI4(2);
  LONG direct = 1;
  const std::vector<std::tuple<VARIANT, VARIANT, double>> puts = {
      {test::VRefI4(&direct), test::VStr(real), -12.5},
      {test::VRef(&inner), test::VBool(true), -1.0},
      {test::VI4(0), test::VStr(half), 2.5}};
  for (const auto& [index, value, expected] : puts) {
    Outcome o;
    Invoke(o, array.get(), DISPID_VALUE, kPut, {index, value});
    ASSERT_EQ(o.hr, S_OK);
    Outcome got;
    Invoke(got, array.get(), DISPID_VALUE, kGet, {index});
    ASSERT_EQ(got.hr, S_OK);
    EXPECT_EQ(V_VT(&got.result), VT_R8);
    EXPECT_DOUBLE_EQ(V_R8(&got.result), expected);
  }
}

TEST(Dispatch, DefaultMemberReadsAndWritesItems) {
  Ref<IDispatch> array;
  ASSERT_EQ(arrays::CreateDoubleArray(IID_IDispatch, array.outVoid()), S_OK);
  Outcome grow;
  Invoke(grow, array.get(), IdOf(array.get(), "count"), kPut, {test::VI4(6)});
  ASSERT_EQ(grow.hr, S_OK);
  Outcome put;
  Invoke(put, array.get(), DISPID_VALUE, kPut, {test::VI4(5), test::VR8(42.5)});
  ASSERT_EQ(put.hr, S_OK);
  // "array(5)": the default member with the method and get flags together.
  Outcome get;
  Invoke(get, array.get(), DISPID_VALUE, kGet, {test::VI4(5)});
  ASSERT_EQ(get.hr, S_OK);
  EXPECT_EQ(V_VT(&get.result), VT_R8);
  EXPECT_EQ(V_R8(&get.result), 42.5);
  // Some callers pass the new value positionally, without the named argument.
  VARIANT args[2] = {test::VR8(7), test::VI4(1)};
  DISPPARAMS plain{args, nullptr, 2, 0};
  EXPECT_EQ(array->Invoke(0, IID_NULL, 0, kPut, &plain, nullptr, nullptr, nullptr), S_OK);
  Outcome one;
  Invoke(one, array.get(), 0, DISPATCH_METHOD, {test::VI4(1)});
  EXPECT_EQ(V_R8(&one.result), 7);
}

TEST(Dispatch, OutParametersAreWrittenThroughReferences) {
  Ref<IDispatch> tuning(new TFakeTuning());
  double d90 = 0, d180 = 0;
  Outcome o;
  Invoke(o, tuning.get(), 1, DISPATCH_METHOD, {test::VRefR8(&d90), test::VRefR8(&d180)});
  ASSERT_EQ(o.hr, S_OK);
  EXPECT_EQ(d90, 2.5);
  EXPECT_EQ(d180, 5.0);
  EXPECT_EQ(V_VT(&o.result), VT_BOOL);
  EXPECT_EQ(V_BOOL(&o.result), VARIANT_TRUE);

  // Script engines pass variables as references to variants, which get the parameter's type.
  VARIANT rough = test::VEmpty(), precise = test::VR8(99);
  Outcome r;
  Invoke(r, tuning.get(), 2, DISPATCH_METHOD,
         {test::VR8(21), test::VRef(&rough), test::VRef(&precise)});
  ASSERT_EQ(r.hr, S_OK);
  EXPECT_EQ(V_VT(&rough), VT_I4);
  EXPECT_EQ(V_I4(&rough), 42);
  EXPECT_EQ(V_VT(&precise), VT_I4);
  EXPECT_EQ(V_I4(&precise), 7);

  // Named arguments in any order.
  Ref<ITuning> typed;
  ASSERT_EQ(tuning->QueryInterface(IID_ITuning, typed.outVoid()), S_OK);
  OleString m = ToOle("period"), a = ToOle("toperiod"), b = ToOle("Duration90"),
            c = ToOle("FromPeriod"), d = ToOle("PERIOD");
  LPOLESTR names[] = {m.data(), a.data(), b.data(), c.data(), d.data()};
  DISPID ids[5];
  ASSERT_EQ(tuning->GetIDsOfNames(IID_NULL, names, 5, 0, ids), S_OK);
  EXPECT_EQ(ids[0], 4);
  double period = 0;
  VARIANT args[4] = {test::VR8(30), test::VR8(1), test::VR8(10), test::VRefR8(&period)};
  DISPID named[4] = {ids[1], ids[2], ids[3], ids[4]};
  DISPPARAMS params{args, named, 4, 4};
  VARIANT result;
  VariantInit(&result);
  EXPECT_EQ(tuning->Invoke(4, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr),
            S_OK);
  EXPECT_EQ(period, 21.0);

  // An out parameter that is not a reference, or a reference of another type.
  LONG wrong = 0;
  const std::vector<std::vector<VARIANT>> bad = {{test::VR8(1), test::VR8(0)},
                                                 {test::VRefR8(&d90), test::VRefI4(&wrong)}};
  Outcome g;
  Invoke(g, tuning.get(), 3, DISPATCH_METHOD, bad[0]);
  EXPECT_EQ(g.hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(g.argErr, 0u);
  Outcome h;
  Invoke(h, tuning.get(), 1, DISPATCH_METHOD, bad[1]);
  EXPECT_EQ(h.hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(h.argErr, 0u);
  Outcome missing;
  Invoke(missing, tuning.get(), 3, DISPATCH_METHOD, {test::VR8(1)});
  EXPECT_EQ(missing.hr, DISP_E_BADPARAMCOUNT);
}

TEST(Dispatch, ExceptionBecomesStatusErrorInfoAndExcepInfo) {
  test::ReportCapture reports;
  Ref<IDispatch> tuning(new TFakeTuning());
  Ref<ITuning> typed;
  ASSERT_EQ(tuning->QueryInterface(IID_ITuning, typed.outVoid()), S_OK);

  LONG rough = 5, precise = 5;
  VARIANT_BOOL ok = VARIANT_TRUE;
  EXPECT_EQ(typed->Resonance(-1, &rough, &precise, &ok), E_UNEXPECTED);
  EXPECT_EQ(ok, VARIANT_FALSE);
  ASSERT_EQ(reports.Count(), 1u);
  EXPECT_NE(reports.Messages()[0].find("Negative duration"), std::string::npos);
  EXPECT_NE(reports.Messages()[0].find(kTagFakeResonance), std::string::npos);
  test::TakenErrorInfo info = test::TakeErrorInfo();
  ASSERT_TRUE(info.present);
  EXPECT_EQ(info.refsLeft, 0u);  // nothing else holds the error information
  EXPECT_EQ(info.description, "Negative duration");
  EXPECT_EQ(info.source, "Quellar.Tuning");
  EXPECT_TRUE(info.guid == IID_ITuning);

  // The status an exception carries wins over the default.
  EXPECT_EQ(typed->Resonance(13, &rough, &precise, &ok), E_ACCESSDENIED);

  // Late bound: DISP_E_EXCEPTION with the details in EXCEPINFO; one more report for the
  // method (Invoke's own guard sees no exception: the method already converted it).
  VARIANT r1 = test::VEmpty(), r2 = test::VEmpty();
  Outcome o;
  Invoke(o, tuning.get(), 2, DISPATCH_METHOD, {test::VR8(13), test::VRef(&r1), test::VRef(&r2)});
  EXPECT_EQ(o.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(o.excep.scode, E_ACCESSDENIED);
  EXPECT_EQ(o.Description(), "Access refused");
  EXPECT_EQ(o.Source(), "Quellar.Tuning");
  EXPECT_EQ(reports.Count(), 3u);
  info = test::TakeErrorInfo();  // still there for clients that ask the thread
  EXPECT_TRUE(info.present);
  EXPECT_EQ(info.refsLeft, 0u);
  // A successful call clears the thread's error information.
  EXPECT_EQ(typed->Resonance(13, &rough, &precise, &ok), E_ACCESSDENIED);
  EXPECT_EQ(typed->Resonance(1, &rough, &precise, &ok), S_OK);
  EXPECT_FALSE(test::TakeErrorInfo().present);
}

// An interface described here, for the parameter kinds that the library's own interfaces
// do not take: a Boolean in-parameter, and out-parameters of Boolean, byte and text that
// return the in-parameter.
VARIANT_BOOL gFlag = 7;
HRESULT InvokeEcho(IDispatch*, size_t member, VARIANT* args) {
  switch (member) {
    case 0:
      gFlag = V_BOOL(&args[0]);
      break;
    case 1:
      V_BOOL(&args[1]) = V_BOOL(&args[0]);
      break;
    case 2:
      V_UI1(&args[1]) = V_UI1(&args[0]);
      break;
    default:
      V_BSTR(&args[1]) = SysAllocString(V_BSTR(&args[0]));
  }
  return S_OK;
}
const ParamDesc kFlag[] = {{"Flag", VT_BOOL, nullptr, kParamIn}};
const ParamDesc kBools[] = {{"In", VT_BOOL, nullptr, kParamIn},
                            {"Out", VT_BOOL, nullptr, kParamOut}};
const ParamDesc kBytes[] = {{"In", VT_UI1, nullptr, kParamIn}, {"Out", VT_UI1, nullptr, kParamOut}};
const ParamDesc kTexts[] = {{"In", VT_BSTR, nullptr, kParamIn},
                            {"Out", VT_BSTR, nullptr, kParamOut}};
const MemberDesc kEchoMembers[] = {{"SetFlag", 1, MemberKind::Method, 7, kFlag, 1, ""},
                                   {"EchoBool", 2, MemberKind::Method, 8, kBools, 2, ""},
                                   {"EchoByte", 3, MemberKind::Method, 9, kBytes, 2, ""},
                                   {"EchoText", 4, MemberKind::Method, 10, kTexts, 2, ""}};
const InterfaceDesc kEchoDesc = {"IEcho", &IID_IDispatch, "", false, kEchoMembers, 4, InvokeEcho};

HRESULT CallEcho(DISPID id, std::vector<VARIANT> args) {
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  UINT argErr = 9;
  return DispatchInvoke(kEchoDesc, {"Quellar.Echo", &IID_IDispatch}, nullptr, id, IID_NULL,
                        DISPATCH_METHOD, &params, nullptr, nullptr, &argErr);
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
    gFlag = 7;
    EXPECT_EQ(CallEcho(1, {c.arg}), c.hr);
    EXPECT_EQ(gFlag, c.flag) << V_VT(&c.arg);
  }
}

TEST(Dispatch, OutParametersOfEveryTypeThroughTypedReferences) {
  VARIANT_BOOL flag = VARIANT_FALSE;
  VARIANT out = test::VEmpty();
  V_VT(&out) = VT_BOOL | VT_BYREF;
  V_BOOLREF(&out) = &flag;
  EXPECT_EQ(CallEcho(2, {test::VI4(5), out}), S_OK);
  EXPECT_EQ(flag, VARIANT_TRUE);
  BYTE byte = 0;
  V_VT(&out) = VT_UI1 | VT_BYREF;
  V_UI1REF(&out) = &byte;
  EXPECT_EQ(CallEcho(3, {test::VI4(200), out}), S_OK);
  EXPECT_EQ(byte, 200);
  BSTR text = NewBstr("old");  // replaced, and freed by the call
  V_VT(&out) = VT_BSTR | VT_BYREF;
  V_BSTRREF(&out) = &text;
  EXPECT_EQ(CallEcho(4, {test::VR8(2.5), out}), S_OK);
  EXPECT_EQ(FromBstr(text), "2.5");
  SysFreeString(text);
}

TEST(Dispatch, SupportErrorInfoNamesTheDefaultInterface) {
  Ref<IUnknown> array;
  ASSERT_EQ(arrays::CreateDoubleArray(IID_IUnknown, array.outVoid()), S_OK);
  Ref<ISupportErrorInfo> support;
  ASSERT_EQ(array->QueryInterface(IID_ISupportErrorInfo, support.outVoid()), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IDoubleArray), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IByteArray), S_FALSE);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);
}

TEST(Dispatch, TypeInfoIsAbsentWithoutOleRuntime) {
  Ref<IDispatch> array;
  ASSERT_EQ(arrays::CreateDoubleArray(IID_IDispatch, array.outVoid()), S_OK);
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
