// The generated tables against the library's surface written out independently here: every
// member of every interface with its DISPID, kind and caller-visible parameter count.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "automation/AutoObject.h"
#include "automation/DispatchTables.h"

namespace quellar::automation {
namespace {

struct Expected {
  const char* itf;
  const char* member;
  DISPID id;
  MemberKind kind;
  size_t visibleParams;
  bool hasRetval;
};

constexpr MemberKind M = MemberKind::Method;
constexpr MemberKind G = MemberKind::PropertyGet;
constexpr MemberKind P = MemberKind::PropertyPut;

const std::vector<Expected> kSurface = {
    {"IController", "Compiler", 1, G, 0, true},
    {"IController", "State", 2, G, 0, true},
    {"IController", "Manager", 3, G, 0, true},
    {"IController", "Analysis", 4, G, 0, true},
    {"IController", "Tuning", 5, G, 0, true},
    {"IController", "Active", 6, G, 0, true},
    {"IController", "Open", 7, M, 1, true},
    {"IController", "Close", 8, M, 0, false},
    {"ICompiler", "TimeMarks", 1, G, 0, true},
    {"ICompiler", "Clear", 2, M, 0, false},
    {"ICompiler", "AddImpulse", 3, M, 3, false},
    {"ICompiler", "AddSilence", 4, M, 1, false},
    {"ICompiler", "AddReading", 5, M, 2, false},
    {"ICompiler", "Send", 6, M, 0, true},
    {"ICompiler", "SendIdle", 7, M, 0, true},
    {"ICompiler", "Save", 8, M, 1, false},
    {"ICompiler", "Load", 9, M, 1, true},
    {"ICompiler", "GetAllMarkers", 10, M, 1, false},
    {"ICompiler", "SaveToByteArray", 11, M, 1, false},
    {"ICompiler", "LoadFromByteArray", 12, M, 1, true},
    {"IState", "SampleTemperature", 1, G, 0, true},
    {"IState", "SystemTemperature", 2, G, 0, true},
    {"IState", "MasterID", 3, G, 0, true},
    {"IState", "MagneticID", 4, G, 0, true},
    {"IState", "Update", 5, M, 0, false},
    {"IManager", "SetDetector", 1, M, 1, true},
    {"IManager", "SetFilter", 2, M, 1, true},
    {"IManager", "SetGain", 3, M, 1, true},
    {"IManager", "SetBias", 4, M, 2, true},
    {"IManager", "SetNitrogen", 5, M, 1, true},
    {"IManager", "SetSample", 6, M, 1, true},
    {"IAnalysis", "Execute", 1, M, 4, true},
    {"IAnalysis", "Count", 2, G, 0, true},
    {"IAnalysis", "SampleRE", 3, G, 1, true},
    {"IAnalysis", "SampleIM", 4, G, 1, true},
    {"IAnalysis", "Sample", 5, G, 1, true},
    {"IAnalysis", "GetAllSamplesRE", 6, M, 1, false},
    {"IAnalysis", "GetAllSamplesIM", 7, M, 1, false},
    {"IAnalysis", "GetAllSamples", 8, M, 1, false},
    {"ITuning", "Durations", 1, M, 2, true},
    {"ITuning", "Resonance", 2, M, 3, true},
    {"ITuning", "Gain", 3, M, 2, true},
    {"ITuning", "Period", 4, M, 4, true},
    {"IMathProcessor", "FFT", 1, M, 4, true},
    {"IMathProcessor", "FFTPower", 2, M, 3, true},
    {"IMathProcessor", "FFTShift", 3, M, 4, true},
    {"IMathProcessor", "RegressionExp", 6, M, 3, true},
    {"IMathProcessor", "RegressionExpConst", 7, M, 3, true},
    {"IMathProcessor", "RegressionLinear", 8, M, 3, true},
    {"IMathProcessor", "RegressionPower", 9, M, 3, true},
    {"IMathProcessor", "RegressionHill", 10, M, 3, true},
    {"IMathProcessor", "RegressionCustom", 11, M, 7, true},
    {"IMathProcessorEvents", "GetExpressionValue", 1, M, 3, true},
    {"IDoubleArray", "Item", 0, G, 1, true},
    {"IDoubleArray", "Item", 0, P, 2, false},
    {"IDoubleArray", "Count", 1, G, 0, true},
    {"IDoubleArray", "Count", 1, P, 1, false},
    {"IDoubleArray", "AsVariant", 2, G, 0, true},
    {"IDoubleArray", "AsVariant", 2, P, 1, false},
    {"IDoubleArray", "CopyFrom", 3, M, 1, false},
    {"IDoubleArray", "Mean", 4, M, 0, true},
    {"IDoubleArray", "Sum", 5, M, 0, true},
    {"IDoubleArray", "Max", 6, M, 0, true},
    {"IDoubleArray", "Min", 7, M, 0, true},
    {"IDoubleArray", "MaxIndex", 8, M, 0, true},
    {"IDoubleArray", "MinIndex", 9, M, 0, true},
    {"IByteArray", "Item", 0, G, 1, true},
    {"IByteArray", "Item", 0, P, 2, false},
    {"IByteArray", "Count", 1, G, 0, true},
    {"IByteArray", "Count", 1, P, 1, false},
    {"IByteArray", "AsVariant", 2, G, 0, true},
    {"IByteArray", "AsVariant", 2, P, 1, false},
    {"IByteArray", "CopyFrom", 3, M, 1, false},
};

TEST(TypeLibrary, LibraryIdentity) {
  EXPECT_STREQ(kQuellarLibrary.name, "Quellar");
  EXPECT_STREQ(kQuellarLibrary.help, "Quellar Library");
  EXPECT_EQ(kQuellarLibrary.major, 1);
  EXPECT_EQ(kQuellarLibrary.minor, 0);
  EXPECT_EQ(kQuellarLibrary.lcid, 0x409u);
  // 23 type descriptions: 10 interfaces, 9 classes, 4 enumerations.
  EXPECT_EQ(kQuellarLibrary.interfaceCount, 10u);
  EXPECT_EQ(kQuellarLibrary.classCount, 9u);
  EXPECT_EQ(kQuellarLibrary.enumCount, 4u);
}

TEST(TypeLibrary, EveryMemberHasItsDispidKindAndParameters) {
  size_t matched = 0;
  for (const Expected& e : kSurface) {
    SCOPED_TRACE(std::string(e.itf) + "." + e.member);
    const InterfaceDesc* itf = FindInterface(e.itf);
    ASSERT_NE(itf, nullptr);
    const MemberDesc* found = nullptr;
    for (size_t i = 0; i < itf->memberCount; ++i) {
      const MemberDesc& m = itf->members[i];
      if (std::string(m.name) == e.member && m.kind == e.kind) found = &m;
    }
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->id, e.id);
    EXPECT_EQ(VisibleParamCount(*found), e.visibleParams);
    const bool retval =
        found->paramCount > 0 && (found->params[found->paramCount - 1].flags & kParamRetval);
    EXPECT_EQ(retval, e.hasRetval);
    ++matched;
  }
  // ...and nothing beyond them.
  size_t total = 0;
  for (size_t i = 0; i < kQuellarLibrary.interfaceCount; ++i)
    total += kQuellarLibrary.interfaces[i]->memberCount;
  EXPECT_EQ(total, kSurface.size());
  EXPECT_EQ(matched, kSurface.size());
}

TEST(TypeLibrary, MemberCountsPerInterface) {
  const std::pair<const char*, size_t> counts[] = {
      {"IController", 8},   {"ICompiler", 12}, {"IState", 5},         {"IManager", 6},
      {"IAnalysis", 8},     {"ITuning", 4},    {"IMathProcessor", 9}, {"IMathProcessorEvents", 1},
      {"IDoubleArray", 13}, {"IByteArray", 7}};
  for (const auto& [name, count] : counts) {
    const InterfaceDesc* itf = FindInterface(name);
    ASSERT_NE(itf, nullptr) << name;
    EXPECT_EQ(itf->memberCount, count) << name;
  }
}

TEST(TypeLibrary, MathProcessorSkipsDispids4And5) {
  const InterfaceDesc& math = kIMathProcessorDesc;
  std::set<DISPID> ids;
  for (size_t i = 0; i < math.memberCount; ++i) ids.insert(math.members[i].id);
  EXPECT_EQ(ids.count(4), 0u);
  EXPECT_EQ(ids.count(5), 0u);
  EXPECT_EQ(FindMember(math, "RegressionExp")->id, 6);
  EXPECT_EQ(FindMember(math, "regressionexp")->id, 6);
}

TEST(TypeLibrary, VirtualTableSlotsFollowDeclarationOrder) {
  for (size_t i = 0; i < kQuellarLibrary.interfaceCount; ++i) {
    const InterfaceDesc& itf = *kQuellarLibrary.interfaces[i];
    for (size_t m = 0; m < itf.memberCount; ++m)
      EXPECT_EQ(itf.members[m].slot, itf.dispinterface ? -1 : static_cast<int>(7 + m)) << itf.name;
    EXPECT_EQ(itf.invoke == nullptr, itf.dispinterface) << itf.name;
  }
  EXPECT_TRUE(kIMathProcessorEventsDesc.dispinterface);
}

TEST(TypeLibrary, ParameterTypesAndDirections) {
  const MemberDesc* resonance = FindMember(kITuningDesc, "Resonance");
  ASSERT_EQ(resonance->paramCount, 4u);
  EXPECT_EQ(resonance->params[0].type, VT_R8);
  EXPECT_EQ(resonance->params[0].flags, kParamIn);
  EXPECT_STREQ(resonance->params[1].name, "BiasRoughly");
  EXPECT_EQ(resonance->params[1].type, VT_I4);
  EXPECT_EQ(resonance->params[1].flags, kParamOut);
  EXPECT_STREQ(resonance->params[2].name, "BiasPricisely");
  EXPECT_EQ(resonance->params[3].type, VT_BOOL);
  EXPECT_EQ(resonance->params[3].flags, kParamOut | kParamRetval);

  const MemberDesc* custom = FindMember(kIMathProcessorDesc, "RegressionCustom");
  ASSERT_EQ(custom->paramCount, 8u);
  const char* names[] = {"X", "Y", "Method", "CoeffsCount", "MinCoeffs", "MaxCoeffs", "Coeffs"};
  for (size_t i = 0; i < 7; ++i) EXPECT_STREQ(custom->params[i].name, names[i]);
  EXPECT_EQ(custom->params[2].type, VT_I4);
  EXPECT_EQ(custom->params[4].type, VT_DISPATCH);
  EXPECT_EQ(*custom->params[4].iid, IID_IDoubleArray);

  const MemberDesc* copy = FindMember(kIByteArrayDesc, "CopyFrom");
  EXPECT_EQ(*copy->params[0].iid, IID_IByteArray);
  const MemberDesc* item = FindMember(kIByteArrayDesc, "Item");
  EXPECT_EQ(item->params[1].type, VT_UI1);
  const MemberDesc* marks = FindMember(kICompilerDesc, "TimeMarks");
  EXPECT_EQ(marks->params[0].type, VT_VARIANT);
  const MemberDesc* master = FindMember(kIStateDesc, "MasterID");
  EXPECT_EQ(master->params[0].type, VT_BSTR);
  const MemberDesc* event = FindMember(kIMathProcessorEventsDesc, "GetExpressionValue");
  EXPECT_EQ(event->params[3].type, VT_R8);
}

TEST(TypeLibrary, HelpStrings) {
  EXPECT_STREQ(kIDoubleArrayDesc.help, "Quellar array interface");
  EXPECT_STREQ(FindMember(kIDoubleArrayDesc, "MinIndex")->help, "Min index in of array");
  EXPECT_STREQ(FindMember(kIMathProcessorDesc, "RegressionHill")->help,
               "Regression of y = A . x^B / (C^B + x^B)");
  EXPECT_STREQ(FindMember(kIAnalysisDesc, "GetAllSamplesIM")->help, "Imaginary sample");
  EXPECT_STREQ(kIMathProcessorEventsDesc.help, "Quellar math events");
}

TEST(TypeLibrary, ClassesWithDefaultAndSourceInterfaces) {
  struct C {
    const char* name;
    const char* help;
    const InterfaceDesc* def;
  };
  const C classes[] = {{"Controller", "Quellar controller class", &kIControllerDesc},
                       {"Compiler", "Quellar impulse class", &kICompilerDesc},
                       {"State", "Quellar state class", &kIStateDesc},
                       {"Manager", "Quellar manager class", &kIManagerDesc},
                       {"Analysis", "Quellar analysis class", &kIAnalysisDesc},
                       {"Tuning", "Quellar tuning class", &kITuningDesc},
                       {"MathProcessor", "Quellar math class", &kIMathProcessorDesc},
                       {"DoubleArray", "Quellar array class", &kIDoubleArrayDesc},
                       {"ByteArray", "Quellar byte array class", &kIByteArrayDesc}};
  for (const C& c : classes) {
    const ClassDesc* desc = FindClass(c.name);
    ASSERT_NE(desc, nullptr) << c.name;
    EXPECT_STREQ(desc->help, c.help);
    EXPECT_EQ(desc->defaultInterface, c.def);
    EXPECT_EQ(FindClass(*desc->clsid), desc);
    EXPECT_EQ(desc->sourceInterface,
              std::string(c.name) == "MathProcessor" ? &kIMathProcessorEventsDesc : nullptr);
  }
}

TEST(TypeLibrary, EnumerationValues) {
  const std::pair<const char*, int32_t> values[] = {
      {"IMPULSE_PHASE_0", IMPULSE_PHASE_0},
      {"IMPULSE_PHASE_270", IMPULSE_PHASE_270},
      {"DETECTOR_AMPLITUDE", DETECTOR_AMPLITUDE},
      {"FILTER_1000KGZ", FILTER_1000KGZ},
      {"REGRESSION_METROPOLIS_HASTINGS", REGRESSION_METROPOLIS_HASTINGS}};
  EXPECT_EQ(IMPULSE_PHASE_270, 270);
  EXPECT_EQ(DETECTOR_AMPLITUDE, 8);
  EXPECT_EQ(FILTER_1000KGZ, 3);
  EXPECT_EQ(REGRESSION_METROPOLIS_HASTINGS, 4);
  size_t members = 0;
  for (size_t e = 0; e < kQuellarLibrary.enumCount; ++e) {
    const EnumDesc& desc = kQuellarLibrary.enums[e];
    members += desc.memberCount;
    for (size_t m = 0; m < desc.memberCount; ++m)
      for (const auto& [name, value] : values)
        if (std::string(desc.members[m].name) == name) {
          EXPECT_EQ(desc.members[m].value, value);
        }
  }
  EXPECT_EQ(members, 4u + 2u + 4u + 5u);
}

TEST(TypeLibrary, IdentifiersAreDistinct) {
  std::vector<GUID> ids{LIBID_Quellar};
  for (size_t i = 0; i < kQuellarLibrary.interfaceCount; ++i)
    ids.push_back(*kQuellarLibrary.interfaces[i]->iid);
  for (size_t i = 0; i < kQuellarLibrary.classCount; ++i)
    ids.push_back(*kQuellarLibrary.classes[i]->clsid);
  for (size_t i = 0; i < ids.size(); ++i)
    for (size_t j = i + 1; j < ids.size(); ++j) EXPECT_FALSE(ids[i] == ids[j]) << i << " " << j;
}

}  // namespace
}  // namespace quellar::automation
