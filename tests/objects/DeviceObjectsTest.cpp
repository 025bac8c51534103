// The controller, state and manager objects, the whole road of a measurement, and the
// lifetime of children, through late binding against a stand-in analyzer.
#include <chrono>

#include "ObjectsTestSupport.h"
#include "automation/ClassRegistry.h"

namespace quellar::test {
namespace {

using device::TDriverFrame;

class DeviceObjects : public ObjectsTest {};

TEST_F(DeviceObjects, ControllerOpensClosesAndKeepsItsChildren) {
  Outcome active;
  Call(active, controller.get(), "Active");
  EXPECT_EQ(V_BOOL(&active.result), VARIANT_FALSE);
  Outcome closed;
  Call(closed, controller.get(), "Close");
  EXPECT_EQ(closed.hr, S_OK);
  Ref<IDispatch> state1, state2;
  Child(state1, "State");
  Child(state2, "State");
  EXPECT_EQ(state1.get(), state2.get());
  // Before any Open the record is empty.
  Outcome id;
  Call(id, state1.get(), "MasterID");
  EXPECT_EQ(FromBstr(V_BSTR(&id.result)), "");

  unsetenv("QUELLAR_COM250");
  for (LONG port : {250, 0, -1, INT32_MIN}) EXPECT_FALSE(Open(port)) << port;
  ASSERT_TRUE(Open());
  Outcome active2;
  Call(active2, controller.get(), "Active");
  EXPECT_EQ(V_BOOL(&active2.result), VARIANT_TRUE);
  // Open on an open controller: one integrity report, false, and the port still works.
  EXPECT_FALSE(Open());
  EXPECT_EQ(reports.Count(), 1u);
  Outcome update;
  Call(update, state1.get(), "Update");
  EXPECT_EQ(update.hr, S_OK);
  EXPECT_EQ(analyzer.Received(0x81).size(), 2u);

  // After Close the values read at Open remain.
  Call(closed, controller.get(), "Close");
  const struct {
    const char* name;
    double value;
  } temperatures[] = {{"SampleTemperature", 30.0}, {"SystemTemperature", 25.1}};
  for (const auto& t : temperatures) {
    Outcome o;
    Call(o, state1.get(), t.name);
    EXPECT_DOUBLE_EQ(DoubleResult(o), t.value) << t.name;
  }
  Outcome magnetic;
  Call(magnetic, state1.get(), "MagneticID");
  EXPECT_EQ(FromBstr(V_BSTR(&magnetic.result)), "MAG");
}

TEST_F(DeviceObjects, OpenFailsAndClosesWhenTheAnalyzerIsMute) {
  analyzer.mute = true;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Open());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5900));
  Outcome active;
  Call(active, controller.get(), "Active");
  EXPECT_EQ(V_BOOL(&active.result), VARIANT_FALSE);
  EXPECT_EQ(analyzer.Received(0x02).size(), 3u);  // the first transaction, three times
}

TEST_F(DeviceObjects, ManagerLimitsAndSendsAllSettingsOfItsCommand) {
  ASSERT_TRUE(Open());
  Ref<IDispatch> manager;
  Child(manager, "Manager");
  // The magnetic settings start as the analyzer reported them: nitrogen 42, biases 0x100 and
  // 0x200, gain 0x300.
  const struct {
    const char* method;
    std::vector<LONG> args;
    const char* frame;
  } cases[] = {
      {"SetGain", {5000}, "93 2A 10 00 20 00 FF F0"},
      {"SetGain", {-3}, "93 2A 10 00 20 00 00 00"},
      {"SetBias", {100, 4096}, "93 2A 06 40 FF F0 00 00"},
      {"SetNitrogen", {300}, "93 FF 06 40 FF F0 00 00"},
      {"SetSample", {150}, "92 03 E8"},
      {"SetSample", {37}, "92 01 72"},
      {"SetFilter", {2}, "04 02 00"},
      {"SetDetector", {8}, "04 0A 00"},
      {"SetDetector", {0}, "04 02 00"},
  };
  for (const auto& c : cases) {
    std::vector<VARIANT> args;
    for (LONG a : c.args) args.push_back(VI4(a));
    Outcome o;
    Call(o, manager.get(), c.method, args);
    EXPECT_TRUE(BoolResult(o)) << c.method;
    const uint8_t code = Hex(c.frame)[0];
    const auto sent = analyzer.Received(code);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(ToHex(sent.back().Bytes()), c.frame) << c.method;
  }
  // Closed: false at once, nothing sent.
  Outcome closed;
  Call(closed, controller.get(), "Close");
  Outcome o;
  Call(o, manager.get(), "SetNitrogen", {VI4(7)});
  EXPECT_EQ(o.hr, S_OK);
  EXPECT_FALSE(BoolResult(o));
  EXPECT_EQ(analyzer.Received(0x93).size(), 4u);
}

// Two amplitudes per 3-byte group.
std::vector<uint8_t> AmplitudeBlock(const std::vector<uint16_t>& values) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < values.size(); i += 2) {
    const uint16_t a = values[i], b = i + 1 < values.size() ? values[i + 1] : 0;
    out.push_back(static_cast<uint8_t>(a & 0xFF));
    out.push_back(static_cast<uint8_t>(((a >> 8) & 0x0F) | ((b >> 4) & 0xF0)));
    if (i + 1 < values.size()) out.push_back(static_cast<uint8_t>(b & 0xFF));
  }
  return out;
}

TEST_F(DeviceObjects, WholeRoadOfOneMeasurement) {
  ASSERT_TRUE(Open());
  Ref<IDispatch> state, manager, compiler, analysis;
  Child(state, "State");
  Child(manager, "Manager");
  Child(compiler, "Compiler");
  Child(analysis, "Analysis");

  Outcome master, temperature;
  Call(master, state.get(), "MasterID");
  EXPECT_EQ(FromBstr(V_BSTR(&master.result)), "M1/v2");
  Call(temperature, state.get(), "SampleTemperature");
  EXPECT_DOUBLE_EQ(DoubleResult(temperature), 30.0);

  Outcome filter, detector;
  Call(filter, manager.get(), "SetFilter", {VI4(2)});
  Call(detector, manager.get(), "SetDetector", {VI4(8)});
  ASSERT_TRUE(BoolResult(detector));
  EXPECT_EQ(analyzer.Received(0x04).back().Bytes(), Hex("04 0A 00"));

  for (auto [name, args] : std::vector<std::pair<const char*, std::vector<VARIANT>>>{
           {"AddImpulse", {VR8(2500), VI4(90), VR8(8000)}},
           {"AddReading", {VR8(3000), VR8(1000)}},
           {"AddSilence", {VR8(1250)}}}) {
    Outcome o;
    Call(o, compiler.get(), name, args);
    ASSERT_EQ(o.hr, S_OK) << name;
  }
  Outcome sent;
  Call(sent, compiler.get(), "Send");
  ASSERT_TRUE(BoolResult(sent));
  EXPECT_EQ(ToHex(analyzer.Program()),
            "38 31 31 31 31 31 79 79 79 79 79 79 79 79 F9 F9 F9 F9 F9 F9 F9 F9 E9 F9 E9 F9 E9 "
            "F9 F9 F9 F8 F8 F8 FF");
  Outcome marks;
  Call(marks, compiler.get(), "TimeMarks");
  ASSERT_EQ(V_VT(&marks.result), VT_ARRAY | VT_R8);
  double* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(V_ARRAY(&marks.result), reinterpret_cast<void**>(&data)), S_OK);
  EXPECT_EQ(std::vector<double>(data, data + 3), (std::vector<double>{10600, 11600, 12600}));
  SafeArrayUnaccessData(V_ARRAY(&marks.result));

  // Three runs of three amplitudes each (amplitude layout, as the detector is 8).
  analyzer.blockOfRun = [](int run) {
    return AmplitudeBlock({static_cast<uint16_t>(100 + run), static_cast<uint16_t>(200 + run),
                           static_cast<uint16_t>(1000 + run)});
  };
  Outcome executed;
  Call(executed, analysis.get(), "Execute", {VI4(1000), VI4(0), VI4(3), VR8(0)});
  ASSERT_TRUE(BoolResult(executed));
  EXPECT_EQ(analyzer.runs, 3);
  Ref<IDoubleArray> re, im;
  NewDoubleArray(re);
  NewDoubleArray(im);
  Outcome all, allIm;
  Call(all, analysis.get(), "GetAllSamplesRE", {VUnknown(re.get())});
  Call(allIm, analysis.get(), "GetAllSamplesIM", {VUnknown(im.get())});
  EXPECT_EQ(Values(re.get()), (std::vector<double>{102, 202, 1002}));
  EXPECT_EQ(Values(im.get()), (std::vector<double>{0, 0, 0}));
  EXPECT_EQ(reports.Count(), 0u);
}

TEST_F(DeviceObjects, ChildrenOutliveTheirControllerSafely) {
  ASSERT_TRUE(Open());
  const char* names[] = {"State", "Manager", "Compiler", "Analysis", "Tuning"};
  Ref<IDispatch> children[5];
  for (int i = 0; i < 5; ++i) Child(children[i], names[i]);
  controller.out();  // the client lets the controller go
  LONG gain = 0;
  // Every device operation fails with the same status and text, and touches nothing freed.
  const struct {
    int child;
    const char* member;
    std::vector<VARIANT> args;
  } device[] = {{0, "SampleTemperature", {}},
                {0, "Update", {}},
                {1, "SetGain", {VI4(5)}},
                {2, "Send", {}},
                {3, "Execute", {VI4(100), VI4(0), VI4(1), VR8(0)}},
                {4, "Gain", {VR8(3000), VRefI4(&gain)}}};
  for (const auto& c : device) {
    Outcome o;
    Call(o, children[c.child].get(), c.member, c.args);
    EXPECT_EQ(o.hr, DISP_E_EXCEPTION) << c.member;
    EXPECT_EQ(o.excep.scode, RPC_E_DISCONNECTED) << c.member;
    EXPECT_EQ(o.Description(), "the controller was released") << c.member;
  }
  // What the children hold themselves stays usable.
  Outcome silence, count;
  Call(silence, children[2].get(), "AddSilence", {VR8(1000)});
  Call(count, children[3].get(), "Count");
  EXPECT_EQ(silence.hr, S_OK);
  EXPECT_EQ(count.hr, S_OK);
  EXPECT_EQ(reports.Count(), 0u);
}

TEST_F(DeviceObjects, ChildMadeByItsFactoryHasNoDevice) {
  const std::pair<const CLSID*, const char*> members[] = {
      {&CLSID_State, "MasterID"}, {&CLSID_Compiler, "Clear"}, {&CLSID_Analysis, "Count"}};
  for (auto [clsid, member] : members) {
    Ref<IClassFactory> factory;
    ASSERT_EQ(DllGetClassObject(*clsid, IID_IClassFactory, factory.outVoid()), S_OK);
    Ref<IDispatch> child;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, child.outVoid()), S_OK);
    Outcome o;
    Call(o, child.get(), member);
    EXPECT_EQ(o.excep.scode, E_UNEXPECTED) << member;
  }
  EXPECT_EQ(reports.Count(), 3u);
}

}  // namespace
}  // namespace quellar::test
