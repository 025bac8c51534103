// The objects called by name through IDispatch::Invoke, the analyzer on a pseudo-terminal (COM7).
#include <stdlib.h>
#include <sys/resource.h>

#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "AnalyzerStandIn.h"
#include "automation/Bstr.h"
#include "automation/LateBoundTestSupport.h"
#include "automation/Quellar.h"
#include "program/DrvCompilerBytecode.h"
#include "support/ForeignDoubleArray.h"
#include "support/TestSupport.h"

namespace quellar::test {
namespace {

using automation::FromBstr;
using automation::TBstr;

// A late-bound call's status (the exception's code for a failure) and result.
struct Result {
  HRESULT hr;
  bool ok;  // a true Boolean
  double number;
  std::string text;  // a string, or the exception's description
};

class DeviceObjects : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.Ok());
    setenv("QUELLAR_COM7", pty.SlavePath().c_str(), 1);
    ASSERT_EQ(QuellarCreateObject("Quellar.Controller", &IID_IDispatch, controller.outVoid()),
              S_OK);
    Ref<IDispatch>* children[] = {&state, &manager, &compiler, &analysis, &tuning};
    for (auto child = children;
         const char* name : {"State", "Manager", "Compiler", "Analysis", "Tuning"})
      ASSERT_EQ(Call(controller.get(), name, {}, *child++).hr, S_OK);
    ASSERT_EQ(QuellarCreateObject("Quellar.ByteArray", &IID_IByteArray, bytes.outVoid()), S_OK);
    ASSERT_EQ(QuellarCreateObject("Quellar.DoubleArray", &IID_IDoubleArray, re.outVoid()), S_OK);
  }

  Result Call(IDispatch* target, const char* name, std::vector<VARIANT> args = {},
              Ref<IDispatch>* child = nullptr) {
    HRESULT hr = S_OK;
    const DISPID id = IdOf(target, name, &hr);
    EXPECT_EQ(hr, S_OK) << name;
    Outcome o;
    Invoke(o, target, id, kGet, std::move(args));
    const VARIANT& v = o.result;
    if (child && V_VT(&v) == VT_DISPATCH)
      V_DISPATCH(&v)->QueryInterface(IID_IDispatch, child->outVoid());
    return {o.hr == DISP_E_EXCEPTION ? o.excep.scode : o.hr,
            o.hr == S_OK && V_VT(&v) == VT_BOOL && V_BOOL(&v) == VARIANT_TRUE,
            V_VT(&v) == VT_I4   ? V_I4(&v)
            : V_VT(&v) == VT_R8 ? V_R8(&v)
                                : -1e300,
            V_VT(&v) == VT_BSTR ? FromBstr(V_BSTR(&v)) : o.Description()};
  }
  HRESULT Do(IDispatch* target, const char* name, std::vector<VARIANT> args = {}) {
    return Call(target, name, std::move(args)).hr;
  }
  bool Ok(IDispatch* target, const char* name, std::vector<VARIANT> args = {}) {
    return Call(target, name, std::move(args)).ok;
  }
  bool Open(LONG port = 7) { return Ok(controller.get(), "Open", {VI4(port)}); }
  std::vector<uint8_t> Code() {
    EXPECT_EQ(Do(compiler.get(), "SaveToByteArray", {VUnknown(bytes.get())}), S_OK);
    return Items<uint8_t>(bytes.get());
  }
  bool Execute(LONG timeOut, LONG pause, LONG runs, double phase) {
    return Ok(analysis.get(), "Execute", {VI4(timeOut), VI4(pause), VI4(runs), VR8(phase)});
  }
  std::vector<uint8_t> File(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  ReportCapture reports;
  PtyPair pty;
  AnalyzerStandIn analyzer{pty};
  Ref<IDispatch> controller, state, manager, compiler, analysis, tuning;
  Ref<IByteArray> bytes;
  Ref<IDoubleArray> re;
};

TEST_F(DeviceObjects, ControllerOpensOnceAndKeepsWhatItRead) {
  EXPECT_EQ(Call(state.get(), "MasterID").text, "");  // nothing read before Open
  EXPECT_EQ(Do(controller.get(), "Close"), S_OK);
  unsetenv("QUELLAR_COM250");
  for (LONG port : {250, 0, -1, INT32_MIN}) EXPECT_FALSE(Open(port)) << port;
  EXPECT_FALSE(Ok(controller.get(), "Active"));
  ASSERT_TRUE(Open());
  EXPECT_TRUE(Ok(controller.get(), "Active"));
  EXPECT_EQ(Call(state.get(), "MasterID").text, "M1/v2");
  EXPECT_FALSE(Open());
  EXPECT_EQ(reports.Count(), 1u);
  EXPECT_EQ(Do(state.get(), "Update"), S_OK);
  EXPECT_EQ(analyzer.Received(0x81).size(), 2u);
  // After Close the values read at Open remain.
  Do(controller.get(), "Close");
  EXPECT_DOUBLE_EQ(Call(state.get(), "SampleTemperature").number, 30.0);
  EXPECT_DOUBLE_EQ(Call(state.get(), "SystemTemperature").number, 25.1);
  EXPECT_EQ(Call(state.get(), "MagneticID").text, "MAG");
}

TEST_F(DeviceObjects, ManagerLimitsAndSendsAllSettingsOfItsCommand) {
  ASSERT_TRUE(Open());
  // The analyzer reported nitrogen 42, biases 0x100 and 0x200, gain 0x300.
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
    EXPECT_TRUE(Ok(manager.get(), c.method, args)) << c.method;
    const auto sent = analyzer.Received(Hex(c.frame)[0]);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(ToHex(sent.back().Bytes()), c.frame) << c.method;
  }
  Do(controller.get(), "Close");
  EXPECT_FALSE(Ok(manager.get(), "SetNitrogen", {VI4(7)}));
  EXPECT_EQ(analyzer.Received(0x93).size(), 4u);
}

std::vector<uint8_t> Block(std::initializer_list<std::pair<uint16_t, uint16_t>> samples) {
  std::vector<uint8_t> out;
  for (auto [re, im] : samples) AnalyzerStandIn::AddSample(out, re, im);
  return out;
}

TEST_F(DeviceObjects, ChildrenOutliveTheirControllerSafely) {
  ASSERT_TRUE(Open());
  controller.out();  // the client lets the controller go
  LONG gain = 0;
  // Device operations fail and touch nothing freed; what the children hold stays usable.
  for (const Result& r : {Call(state.get(), "SampleTemperature"),
                          Call(manager.get(), "SetGain", {VI4(5)}), Call(compiler.get(), "Send"),
                          Call(analysis.get(), "Execute", {VI4(100), VI4(0), VI4(1), VR8(0)}),
                          Call(tuning.get(), "Gain", {VR8(3000), VRefI4(&gain)})}) {
    EXPECT_EQ(r.hr, RPC_E_DISCONNECTED);
    EXPECT_EQ(r.text, "the controller was released");
  }
  EXPECT_EQ(Do(compiler.get(), "AddSilence", {VR8(1000)}), S_OK);
  EXPECT_EQ(Do(analysis.get(), "Count"), S_OK);
  EXPECT_EQ(reports.Count(), 0u);
}

// The model's item for the client's values, or nothing when they are refused.
TEST_F(DeviceObjects, CompilerConvertsTheClientsValuesAndRefusesTheRest) {
  const double nan = std::nan(""), inf = INFINITY;
  const struct {
    const char* name;
    std::vector<VARIANT> args;
    std::function<void(program::TProgramCompilerBytecode&)> model;
  } cases[] = {
      {"AddImpulse", {VR8(2450.5), VI4(90), VR8(0)}, [](auto& p) { p.AddImpulse(1, 2500, 1000); }},
      {"AddImpulse", {VR8(2500), VI4(45), VR8(-5)}, [](auto& p) { p.AddImpulse(0, 2500, 1000); }},
      {"AddImpulse", {VR8(2500), VI4(270), VR8(nan)}, nullptr},
      {"AddImpulse", {VR8(0.4), VI4(180), VR8(5000)}, nullptr},
      {"AddSilence", {VR8(2.5)}, [](auto& p) { p.AddSilence(100); }},
      {"AddSilence", {VR8(inf)}, nullptr},
      {"AddReading", {VR8(499), VR8(1000)}, [](auto& p) { p.AddReading(500, 1000); }},
      {"AddReading", {VR8(3000), VR8(-inf)}, nullptr},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(Do(compiler.get(), "Clear"), S_OK);
    EXPECT_EQ(Do(compiler.get(), c.name, c.args), S_OK) << c.name;
    program::TProgramCompilerBytecode expected;
    if (c.model) c.model(expected);
    std::vector<uint8_t> code;
    expected.Compile(&code, false);
    EXPECT_EQ(Code(), code) << c.name << " " << V_R8(&c.args[0]);
  }
}

TEST_F(DeviceObjects, CompilerSendsExactlyTheCodeAndNothingTooLong) {
  ASSERT_TRUE(Open());
  const std::string path = (reports.Dir() / "good.bin").string();
  TBstr name(path);
  Do(compiler.get(), "AddImpulse", {VR8(2500), VI4(90), VR8(8000)});
  ASSERT_EQ(Do(compiler.get(), "Save", {VStr(name)}), S_OK);
  const std::vector<uint8_t> saved = Code();
  EXPECT_EQ(File(path), saved);
  ASSERT_TRUE(Ok(compiler.get(), "Load", {VStr(name)}));
  EXPECT_EQ(analyzer.Program(), saved);
  Do(compiler.get(), "AddReading", {VR8(3000), VR8(1000)});
  ASSERT_TRUE(Ok(compiler.get(), "Send"));
  EXPECT_EQ(analyzer.Program(), Code());
  EXPECT_EQ(Do(compiler.get(), "GetAllMarkers", {VUnknown(re.get())}), S_OK);
  EXPECT_EQ(Items<double>(re.get()), (std::vector<double>{10600, 11600, 12600}));
  // 40,000 samples need far more than 32,767 bytes: not sent, not saved anywhere.
  const size_t uploads = analyzer.Received(0x01).size();
  Do(compiler.get(), "AddReading", {VR8(40000000), VR8(1000)});
  EXPECT_FALSE(Ok(compiler.get(), "Send"));
  EXPECT_EQ(analyzer.Received(0x01).size(), uploads);
  EXPECT_EQ(Do(compiler.get(), "Save", {VStr(name)}), DISP_E_OVERFLOW);
  EXPECT_EQ(Do(compiler.get(), "SaveToByteArray", {VUnknown(bytes.get())}), DISP_E_OVERFLOW);
  EXPECT_EQ(Items<uint8_t>(bytes.get()), analyzer.Program());
  // A file that cannot be opened, or one that fails part-way (at the file size limit), fails the
  // call and leaves the good file and nothing else.
  Do(compiler.get(), "Clear");
  EXPECT_NE(Do(compiler.get(), "Save", {VStr(TBstr(path + "/x.bin"))}), S_OK);
  Do(compiler.get(), "AddReading", {VR8(100000), VR8(1000)});
  rlimit old{}, small{};
  getrlimit(RLIMIT_FSIZE, &old);
  const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  small = old, small.rlim_cur = 64;
  setrlimit(RLIMIT_FSIZE, &small);
  const HRESULT partial = Do(compiler.get(), "Save", {VStr(name)});
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);
  EXPECT_NE(partial, S_OK);
  EXPECT_EQ(File(path), saved);
  for (const auto& entry : std::filesystem::directory_iterator(reports.Dir()))
    EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
}

TEST_F(DeviceObjects, AnalysisAveragesRotatesAndChecksIndexes) {
  ASSERT_TRUE(Open());
  analyzer.block = Block({{1, 0}, {0, 3}, {3, 4}});
  ASSERT_TRUE(Execute(1000, 0, 1, 0));
  EXPECT_EQ(Do(analysis.get(), "GetAllSamplesRE", {VUnknown(re.get())}), S_OK);
  EXPECT_EQ(Items<double>(re.get()), (std::vector<double>{1, 0, 3}));
  EXPECT_EQ(Do(analysis.get(), "GetAllSamplesIM", {VUnknown(re.get())}), S_OK);
  EXPECT_EQ(Items<double>(re.get()), (std::vector<double>{0, 3, 4}));
  const int runsBefore = analyzer.runs;
  for (auto [timeOut, pause, runs] :
       {std::tuple{1000, 0, 0}, {1000, 0, -1}, {-1, 0, 1}, {1000, -1, 1}})
    EXPECT_FALSE(Execute(timeOut, pause, runs, 0));
  EXPECT_EQ(analyzer.runs, runsBefore);
  EXPECT_EQ(Call(analysis.get(), "Count").number, 3);

  analyzer.blockOfRun = [](int run) {
    return Block({{1, 0}, {0, 3}, {uint16_t(run % 2 ? 3 : 5), 4}});
  };
  ASSERT_TRUE(Execute(1000, 0, 2, std::acos(-1.0)));  // two runs, turned by pi
  EXPECT_NEAR(Call(analysis.get(), "SampleRE", {VI4(2)}).number, -4, 1e-12);
  EXPECT_NEAR(Call(analysis.get(), "SampleIM", {VI4(1)}).number, -3, 1e-12);
  EXPECT_NEAR(Call(analysis.get(), "Sample", {VI4(2)}).number, std::sqrt(32.0), 1e-12);
  for (LONG index : {3, -1})
    EXPECT_EQ(Do(analysis.get(), "SampleIM", {VI4(index)}), DISP_E_BADINDEX);
  EXPECT_EQ(reports.Count(), 2u);

  re->put_Count(10);
  EXPECT_EQ(Do(analysis.get(), "GetAllSamples", {VUnknown(re.get())}), S_OK);
  EXPECT_EQ(Items<double>(re.get()).size(), 3u);
  EXPECT_EQ(Do(analysis.get(), "GetAllSamplesRE", {VUnknown(nullptr)}), S_OK);
  // An array that shrinks itself while being filled fails the call; nothing is overrun.
  TForeignArray foreign;
  foreign.shrinkOnWrite = true;
  EXPECT_EQ(Do(analysis.get(), "GetAllSamplesIM", {VUnknown(&foreign)}), DISP_E_BADINDEX);

  // A run that fails three times ends the analysis with no samples.
  analyzer.intercept = [](const device::TDriverFrame& f, std::vector<PeerReply>& out) {
    if (f.Bytes() != Hex("02 00")) return false;
    out = {{device::TDriverFrame{0x02, 0x04}}};
    return true;
  };
  EXPECT_FALSE(Execute(1000, 0, 1, 0));
  EXPECT_EQ(Call(analysis.get(), "Count").number, 0);
}

}  // namespace
}  // namespace quellar::test
