// The compiler and analysis objects: conversions, program files and arrays, refusals, the
// analysis's averaging, rotation and index checks, through late binding.
#include <signal.h>
#include <sys/resource.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>

#include "ObjectsTestSupport.h"
#include "program/DrvCompilerBytecode.h"
#include "support/ForeignDoubleArray.h"

namespace quellar::test {
namespace {

class ProgramObjects : public ObjectsTest {
 protected:
  void SetUp() override {
    ObjectsTest::SetUp();
    Child(compiler, "Compiler");
    Child(analysis, "Analysis");
    ASSERT_EQ(QuellarCreateObject("Quellar.ByteArray", &IID_IByteArray, bytes.outVoid()), S_OK);
  }
  HRESULT Do(IDispatch* target, const char* name, std::vector<VARIANT> args = {}) {
    Outcome o;
    Call(o, target, name, std::move(args));
    return o.hr;
  }
  std::vector<uint8_t> Code() {
    EXPECT_EQ(Do(compiler.get(), "SaveToByteArray", {VUnknown(bytes.get())}), S_OK);
    LONG n = 0;
    bytes->get_Count(&n);
    std::vector<uint8_t> out(static_cast<size_t>(n));
    for (LONG i = 0; i < n; ++i) bytes->get_Item(i, &out[static_cast<size_t>(i)]);
    return out;
  }
  bool Execute(LONG timeOut, LONG pause, LONG runs, double phase) {
    Outcome o;
    Call(o, analysis.get(), "Execute", {VI4(timeOut), VI4(pause), VI4(runs), VR8(phase)});
    return BoolResult(o);
  }
  LONG Count() {
    Outcome o;
    Call(o, analysis.get(), "Count");
    return V_I4(&o.result);
  }

  Ref<IDispatch> compiler, analysis;
  Ref<IByteArray> bytes;
};

// What the model holds after the client's values passed the object's conversions.
TEST_F(ProgramObjects, CompilerConvertsTheClientsValues) {
  const double nan = std::nan(""), inf = INFINITY;
  const struct {
    const char* name;
    std::vector<VARIANT> args;
    // The same item given to the model directly, or nothing when it is refused.
    std::function<void(program::TProgramCompilerBytecode&)> model;
  } cases[] = {
      {"AddImpulse", {VR8(2450.5), VI4(90), VR8(0)}, [](auto& p) { p.AddImpulse(1, 2500, 1000); }},
      {"AddImpulse", {VR8(2500), VI4(45), VR8(-5)}, [](auto& p) { p.AddImpulse(0, 2500, 1000); }},
      {"AddImpulse", {VR8(2500), VI4(270), VR8(nan)}, nullptr},
      {"AddImpulse", {VR8(0.4), VI4(180), VR8(5000)}, nullptr},
      {"AddSilence", {VR8(2.5)}, [](auto& p) { p.AddSilence(100); }},
      {"AddSilence", {VR8(0.4)}, nullptr},
      {"AddSilence", {VR8(inf)}, nullptr},
      {"AddSilence", {VR8(1e300)}, nullptr},
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

TEST_F(ProgramObjects, ProgramFilesAndArraysCarryExactlyTheCode) {
  ASSERT_TRUE(Open());
  Outcome marks;
  Call(marks, compiler.get(), "TimeMarks");  // before any compilation: empty
  LONG upper = 0;
  SafeArrayGetUBound(V_ARRAY(&marks.result), 1, &upper);
  EXPECT_EQ(upper, -1);
  Do(compiler.get(), "AddImpulse", {VR8(2500), VI4(90), VR8(8000)});
  Do(compiler.get(), "AddReading", {VR8(3000), VR8(1000)});
  Outcome sent;
  Call(sent, compiler.get(), "Send");
  ASSERT_TRUE(BoolResult(sent));
  const std::vector<uint8_t> code = analyzer.Program();
  EXPECT_EQ(Code(), code);

  const std::string path = (reports.Dir() / "program.bin").string();
  TBstr name(path);
  ASSERT_EQ(Do(compiler.get(), "Save", {VStr(name)}), S_OK);
  analyzer.program.clear();
  Outcome loaded;
  Call(loaded, compiler.get(), "Load", {VStr(name)});
  ASSERT_TRUE(BoolResult(loaded));
  EXPECT_EQ(analyzer.Program(), code);
  // Bytes that are no program at all go as they are, from a file and from an array.
  const std::vector<uint8_t> junk{0x00, 0xC0, 0x7D, 0xFF, 0x13};
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(junk.data()), 5);
  Call(loaded, compiler.get(), "Load", {VStr(name)});
  EXPECT_TRUE(BoolResult(loaded));
  EXPECT_EQ(analyzer.Program(), junk);
  bytes->put_Count(2);
  Outcome fromArray;
  Call(fromArray, compiler.get(), "LoadFromByteArray", {VUnknown(bytes.get())});
  EXPECT_TRUE(BoolResult(fromArray));
  EXPECT_EQ(analyzer.Program(), std::vector<uint8_t>(code.begin(), code.begin() + 2));
  // A file that cannot be read fails the call with the system's reason.
  TBstr missing((reports.Dir() / "none" / "x.bin").string());
  Outcome failed;
  Call(failed, compiler.get(), "Load", {VStr(missing)});
  EXPECT_EQ(failed.hr, DISP_E_EXCEPTION);
  EXPECT_NE(failed.Description().find("x.bin"), std::string::npos);
}

TEST_F(ProgramObjects, ProgramTooLongIsNeitherSentNorSaved) {
  ASSERT_TRUE(Open());
  const std::string path = (reports.Dir() / "good.bin").string();
  TBstr name(path);
  Do(compiler.get(), "AddSilence", {VR8(1000)});
  ASSERT_EQ(Do(compiler.get(), "Save", {VStr(name)}), S_OK);
  const std::vector<uint8_t> saved = Code();
  // 40,000 samples need far more than 32,767 bytes.
  Do(compiler.get(), "AddReading", {VR8(40000000), VR8(1000)});
  Outcome sent;
  Call(sent, compiler.get(), "Send");
  EXPECT_EQ(sent.hr, S_OK);
  EXPECT_FALSE(BoolResult(sent));
  EXPECT_TRUE(analyzer.Received(0x01).empty());
  Outcome save, array;
  Call(save, compiler.get(), "Save", {VStr(name)});
  Call(array, compiler.get(), "SaveToByteArray", {VUnknown(bytes.get())});
  EXPECT_EQ(save.excep.scode, DISP_E_OVERFLOW);
  EXPECT_EQ(array.excep.scode, DISP_E_OVERFLOW);
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}), saved);
  LONG n = 0;
  bytes->get_Count(&n);
  EXPECT_EQ(static_cast<size_t>(n), saved.size());
  // A save that fails part-way (here at the file size limit) leaves the good file in place
  // and nothing beside it.
  Do(compiler.get(), "Clear");
  Do(compiler.get(), "AddReading", {VR8(100000), VR8(1000)});
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 64;
  setrlimit(RLIMIT_FSIZE, &small);
  Outcome partial;
  Call(partial, compiler.get(), "Save", {VStr(name)});
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(partial.hr, DISP_E_EXCEPTION);
  std::ifstream again(path, std::ios::binary);
  EXPECT_EQ(std::vector<uint8_t>(std::istreambuf_iterator<char>(again), {}), saved);
  for (const auto& entry : std::filesystem::directory_iterator(reports.Dir()))
    EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
}

// Three samples per block in the quadrature layout.
std::vector<uint8_t> Block(std::initializer_list<std::pair<uint16_t, uint16_t>> samples) {
  std::vector<uint8_t> out;
  for (auto [re, im] : samples) AnalyzerStandIn::AddSample(out, re, im);
  return out;
}

TEST_F(ProgramObjects, AnalysisAveragesRotatesAndChecksIndexes) {
  ASSERT_TRUE(Open());
  analyzer.block = Block({{1, 0}, {0, 3}, {3, 4}});
  ASSERT_TRUE(Execute(1000, 0, 1, 0));
  ASSERT_EQ(Count(), 3);
  // Refused before any traffic; the samples stay.
  const int runsBefore = analyzer.runs;
  for (auto [timeOut, pause, runs] :
       {std::tuple{1000, 0, 0}, {1000, 0, -1}, {-1, 0, 1}, {1000, -1, 1}})
    EXPECT_FALSE(Execute(timeOut, pause, runs, 0));
  EXPECT_EQ(analyzer.runs, runsBefore);
  EXPECT_EQ(Count(), 3);

  analyzer.blockOfRun = [](int run) {
    return Block({{1, 0}, {0, 3}, {uint16_t(run % 2 ? 3 : 5), 4}});
  };
  ASSERT_TRUE(Execute(1000, 0, 2, std::acos(-1.0)));  // two runs, turned by pi
  const struct {
    const char* getter;
    LONG index;
    double value;
  } held[] = {{"SampleRE", 0, -1}, {"SampleIM", 0, 0},  {"SampleRE", 1, 0},
              {"SampleIM", 1, -3}, {"SampleRE", 2, -4}, {"Sample", 2, std::sqrt(32.0)}};
  for (const auto& h : held) {
    Outcome o;
    Call(o, analysis.get(), h.getter, {VI4(h.index)});
    EXPECT_NEAR(DoubleResult(o), h.value, 1e-12) << h.getter << h.index;
  }
  // Outside the samples: an integrity report, DISP_E_BADINDEX and 0.
  for (LONG index : {3, -1}) {
    Outcome o;
    Call(o, analysis.get(), "SampleIM", {VI4(index)});
    EXPECT_EQ(o.excep.scode, DISP_E_BADINDEX);
  }
  EXPECT_EQ(reports.Count(), 2u);

  Ref<IDoubleArray> values;
  NewDoubleArray(values);
  values->put_Count(10);
  EXPECT_EQ(Do(analysis.get(), "GetAllSamples", {VUnknown(values.get())}), S_OK);
  EXPECT_EQ(Values(values.get()).size(), 3u);
  EXPECT_EQ(Do(analysis.get(), "GetAllSamplesRE", {VUnknown(nullptr)}), S_OK);
  // An array that shrinks itself while being filled fails the call; nothing is overrun.
  TForeignArray foreign;
  foreign.shrinkOnWrite = true;
  EXPECT_EQ(Do(analysis.get(), "GetAllSamplesIM", {VUnknown(&foreign)}), DISP_E_EXCEPTION);

  // A run that fails three times ends the analysis with no samples.
  analyzer.intercept = [](const device::TDriverFrame& f, std::vector<PeerReply>& out) {
    if (f.Bytes() != Hex("02 00")) return false;
    out = {{device::TDriverFrame{0x02, 0x04}}};
    return true;
  };
  EXPECT_FALSE(Execute(1000, 0, 1, 0));
  EXPECT_EQ(Count(), 0);
}

TEST_F(ProgramObjects, BlockLongerThanOneAnswerWindowArrivesAtLineSpeed) {
  ASSERT_TRUE(Open());
  // 8,334 samples are 25,002 bytes: over 2 s on a line of 11,520 bytes a second.
  for (int i = 0; i < 8334; ++i)
    AnalyzerStandIn::AddSample(analyzer.block, static_cast<uint16_t>(i % 1024), 7);
  analyzer.Peer().Pace(11520);
  ASSERT_TRUE(Execute(1000, 0, 1, 0));
  EXPECT_EQ(Count(), 8334);
  Outcome last;
  Call(last, analysis.get(), "SampleRE", {VI4(8333)});
  EXPECT_EQ(DoubleResult(last), 8333 % 1024);
}

}  // namespace
}  // namespace quellar::test
