#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

#include "ProgramTestSupport.h"
#include "program/DrvCompilerBytecode.h"

namespace quellar::program {
namespace {

using test::Cat;
using test::CompileProgram;
using test::Hex;
using test::Repeat;

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int32_t kMaxCount = std::numeric_limits<int32_t>::max();

void BuildWorkedExample(TProgramCompilerBytecode& program) {
  ASSERT_TRUE(program.AddImpulse(1, 2500, 8000));
  ASSERT_TRUE(program.AddReading(3000, 1000));
  ASSERT_TRUE(program.AddSilence(1300));
}

TEST(TProgramCompilerBytecode, CompilesTheWorkedExample) {
  TProgramCompilerBytecode program;
  BuildWorkedExample(program);
  const auto normal = CompileProgram(program, false);
  ASSERT_TRUE(normal.ok);
  EXPECT_EQ(normal.code, Hex("38 31 31 31 31 31 79 79 79 79 79 79 79 79 F9 F9 F9 F9 F9 F9 F9 F9 "
                             "E9 F9 E9 F9 E9 F9 F9 F9 F8 F8 F8 FF"));
  EXPECT_EQ(normal.marks, (std::vector<double>{10600, 11600, 12600}));
  EXPECT_EQ(normal.time, 14900);
  EXPECT_FALSE(program.Idle());

  const auto idle = CompileProgram(program, true);
  ASSERT_TRUE(idle.ok);
  EXPECT_EQ(idle.code, Hex("FA FA F9 F8 E9 F9 E9 F9 E9 F9 F9 F9 F8 F8 F8 FF"));
  EXPECT_EQ(idle.marks, normal.marks);
  EXPECT_EQ(idle.time, 14900);
  EXPECT_TRUE(program.Idle());
}

struct ByteCase {
  const char* name;
  std::function<void(TProgramCompilerBytecode&)> build;
  std::vector<uint8_t> code;
  std::vector<double> marks;
  double time;
};

void ExpectCases(const std::vector<ByteCase>& cases, bool idle) {
  for (const ByteCase& c : cases) {
    TProgramCompilerBytecode program;
    c.build(program);
    const auto got = CompileProgram(program, idle);
    EXPECT_TRUE(got.ok) << c.name;
    EXPECT_EQ(got.code, c.code) << c.name;
    EXPECT_EQ(got.marks, c.marks) << c.name;
    EXPECT_EQ(got.time, c.time) << c.name;
  }
}

TEST(TProgramCompilerBytecode, WritesEachPeriodGreedilyByDelayClass) {
  const std::vector<ByteCase> cases = {
      {"empty", [](auto&) {}, Hex("FF"), {}, 0},
      {"silence 100", [](auto& p) { p.AddSilence(100); }, Hex("F8 FF"), {}, 100},
      {"silence 500", [](auto& p) { p.AddSilence(500); }, Hex("F9 FF"), {}, 500},
      {"silence 600", [](auto& p) { p.AddSilence(600); }, Hex("F9 F8 FF"), {}, 600},
      {"silence 1e9", [](auto& p) { p.AddSilence(1000000000); }, Hex("FE FE FF"), {}, 1e9},
      {"silence 555500", [](auto& p) { p.AddSilence(555500); }, Hex("FC FB FA F9 FF"), {}, 555500},
      {"silence rounded", [](auto& p) { p.AddSilence(5001); }, Hex("FA F8 FF"), {}, 5100},
      {"longest silence below a class-6 byte",
       [](auto& p) { p.AddSilence(499999900); },
       Cat(Cat(Cat(Repeat(0xFD, 99), Repeat(0xFC, 9)), Cat(Repeat(0xFB, 9), Repeat(0xFA, 9))),
           Cat(Cat(Repeat(0xF9, 9), Repeat(0xF8, 4)), Hex("FF"))),
       {},
       499999900},
      {"impulse at phase 0",
       [](auto& p) { p.AddImpulse(0, 100, 4000); },
       Cat(Hex("18 10"), Cat(Repeat(0x79, 8), Hex("FF"))),
       {},
       4200},
      {"impulse at phase 180, silence 9000",
       [](auto& p) { p.AddImpulse(2, 600, 9000); },
       Cat(Hex("58 51 50"), Cat(Repeat(0x79, 8), Hex("FA FF"))),
       {},
       9700},
      {"impulse at phase 270",
       [](auto& p) { p.AddImpulse(3, 100, 4000); },
       Cat(Hex("78 70"), Cat(Repeat(0x79, 8), Hex("FF"))),
       {},
       4200},
      {"unknown phase code plays at 0",
       [](auto& p) { p.AddImpulse(7, 100, 4000); },
       Cat(Hex("18 10"), Cat(Repeat(0x79, 8), Hex("FF"))),
       {},
       4200},
      {"reading with short strobes",
       [](auto& p) { p.AddReading(1700, 600); },
       Hex("E8 E8 F8 F8 F8 F8 E8 E8 F8 F8 F8 F8 F9 FF"),
       {0, 600},
       1700},
      {"reading of three samples",
       [](auto& p) { p.AddReading(3000, 1000); },
       Hex("E9 F9 E9 F9 E9 F9 FF"),
       {0, 1000, 2000},
       3000},
      {"reading with a rest",
       [](auto& p) { p.AddReading(3500, 1000); },
       Hex("E9 F9 E9 F9 E9 F9 F9 FF"),
       {0, 1000, 2000},
       3500},
      {"reading shorter than its interval",
       [](auto& p) { p.AddReading(500, 1000); },
       Hex("F9 FF"),
       {},
       500},
      {"interval of 700 takes the long strobe",
       [](auto& p) { p.AddReading(700, 700); },
       Hex("E9 F8 F8 FF"),
       {0},
       700},
      {"package of three one-sample readings",
       [](auto& p) {
         TProgramCompilerBytecode body;
         body.AddReading(1500, 1000);
         p.AddSilence(200);
         p.AddPackage(&body, 3);
       },
       Hex("F8 F8 E9 F9 F9 E9 F9 F9 E9 F9 F9 FF"),
       {200, 1700, 3200},
       4700},
      {"negative package count plays nothing",
       [](auto& p) {
         TProgramCompilerBytecode body;
         body.AddReading(1000, 1000);
         p.AddPackage(&body, -4);
         p.AddSilence(100);
       },
       Hex("F8 FF"),
       {},
       100},
  };
  ExpectCases(cases, false);
}

TEST(TProgramCompilerBytecode, IdleFormKeepsTheScheduleAndTheMarks) {
  const std::vector<ByteCase> cases = {
      {"impulse becomes one silence",
       [](auto& p) { p.AddImpulse(1, 2500, 8000); },
       Hex("FA FA F9 F8 FF"),
       {},
       10600},
      {"readings stay",
       [](auto& p) {
         p.AddImpulse(2, 100, 4000);
         p.AddReading(1000, 500);
       },
       Hex("F9 F9 F9 F9 F9 F9 F9 F9 F8 F8 E8 E8 F8 F8 F8 E8 E8 F8 F8 F8 FF"),
       {4200, 4700},
       5200},
  };
  ExpectCases(cases, true);
}

TEST(TProgramCompilerBytecode, ImpulseBlockNeverEndsBeforeItsTail) {
  // Silences under the 4000-unit tail: the tail is written in full, and the running time and
  // every later mark follow what was written, in both forms.
  for (const int64_t silence : {-250, 0, 1000, 3900, 4000}) {
    TProgramCompilerBytecode program;
    program.AddImpulse(0, 1000, silence);
    program.AddReading(1000, 1000);
    const auto normal = CompileProgram(program, false);
    ASSERT_TRUE(normal.ok);
    EXPECT_EQ(normal.code, Cat(Hex("18 11 11"), Cat(Repeat(0x79, 8), Hex("E9 F9 FF"))));
    EXPECT_EQ(normal.marks, (std::vector<double>{5100})) << silence;
    EXPECT_EQ(normal.time, 6100) << silence;
    const auto idle = CompileProgram(program, true);
    ASSERT_TRUE(idle.ok);
    EXPECT_EQ(idle.code, Hex("FA F8 E9 F9 FF")) << silence;
    EXPECT_EQ(idle.marks, normal.marks) << silence;
    EXPECT_EQ(idle.time, normal.time) << silence;
  }
}

TEST(TProgramCompilerBytecode, AppendsToTheStreamAndReplacesTheMarks) {
  TProgramCompilerBytecode program;
  program.AddReading(2000, 1000);
  std::vector<uint8_t> stream{0xAA, 0xBB};
  ASSERT_TRUE(program.Compile(&stream, false));
  EXPECT_EQ(stream, Hex("AA BB E9 F9 E9 F9 FF"));
  EXPECT_EQ(program.Markers().Count(), 2);

  // Clear keeps the marks until the next compilation, which starts them from empty.
  program.Clear();
  EXPECT_EQ(program.Markers().Count(), 2);
  EXPECT_EQ(program.Markers().Mark(1), 1000);
  program.AddReading(1000, 1000);
  const auto again = CompileProgram(program, false);
  EXPECT_EQ(again.marks, (std::vector<double>{0}));

  // An absent stream clears the marks and writes nothing.
  EXPECT_FALSE(program.Compile(nullptr, true));
  EXPECT_EQ(program.Markers().Count(), 0);
  EXPECT_EQ(program.Markers().Time(), 0);
  EXPECT_TRUE(program.Idle());
}

TEST(TProgramCompilerBytecode, CodeOf32767BytesFitsAndOneMoreDoesNot) {
  // 16383 samples of two bytes each and the end mark: 32767 bytes.
  TProgramCompilerBytecode program;
  program.AddReading(16383 * 1000, 1000);
  std::vector<uint8_t> stream{0x42};
  ASSERT_TRUE(program.Compile(&stream, false));
  EXPECT_EQ(stream.size(), 1 + kMaxCodeSize);
  EXPECT_EQ(stream.back(), 0xFF);
  EXPECT_EQ(program.Markers().Count(), 16383);

  program.AddSilence(100);
  stream = {0x42};
  EXPECT_FALSE(program.Compile(&stream, false));
  EXPECT_EQ(stream, Hex("42"));

  // The same boundary reached by one long run of one class.
  TProgramCompilerBytecode silences;
  silences.AddSilence(int64_t{32766} * 500000000);
  std::vector<uint8_t> code;
  ASSERT_TRUE(silences.Compile(&code, false));
  EXPECT_EQ(code.size(), kMaxCodeSize);
  silences.Clear();
  silences.AddSilence(int64_t{32767} * 500000000);
  code.clear();
  EXPECT_FALSE(silences.Compile(&code, false));
  EXPECT_TRUE(code.empty());
}

struct ExtremeCase {
  const char* name;
  std::function<void(TProgramCompilerBytecode&)> build;
  bool ok;
  std::vector<uint8_t> code;  // when ok
};

TEST(TProgramCompilerBytecode, ExtremeProgramsFinishQuicklyWithTheRightAnswer) {
  auto package = [](TProgramCompiler& into, int32_t count, auto&& fill) {
    TProgramCompiler body;
    fill(body);
    into.AddPackage(&body, count);
  };
  auto nothing = [](TProgramCompiler&) {};
  const std::vector<ExtremeCase> cases = {
      {"silence of 10^18", [](auto& p) { p.AddSilence(1000000000000000000); }, false, {}},
      {"largest silence", [](auto& p) { p.AddSilence(9223372036854775800); }, false, {}},
      {"reading of 10^18 samples",
       [](auto& p) { p.AddReading(500000000000000000, 500); },
       false,
       {}},
      {"empty program repeated 2^31-1 times", [&](auto& p) { package(p, kMaxCount, nothing); },
       true, Hex("FF")},
      {"nested empty packages multiply",
       [&](auto& p) {
         package(p, kMaxCount, [&](TProgramCompiler& b) {
           package(b, kMaxCount, [&](TProgramCompiler& c) { package(c, kMaxCount, nothing); });
         });
         p.AddSilence(500);
       },
       true, Hex("F9 FF")},
      {"silent items repeated between real ones",
       [&](auto& p) {
         package(p, kMaxCount, [&](TProgramCompiler& b) {
           for (int i = 0; i < 20000; ++i) package(b, -1, nothing);
           b.AddSilence(100);
         });
       },
       false,
       {}},
      {"silence repeated 2^31-1 times",
       [&](auto& p) { package(p, kMaxCount, [](TProgramCompiler& b) { b.AddSilence(100); }); },
       false,
       {}},
      {"nested repeats of a reading",
       [&](auto& p) {
         package(p, kMaxCount, [&](TProgramCompiler& b) {
           package(b, kMaxCount, [](TProgramCompiler& c) { c.AddReading(1000, 500); });
         });
       },
       false,
       {}},
  };
  for (const ExtremeCase& c : cases) {
    for (const bool idle : {false, true}) {
      TProgramCompilerBytecode program;
      c.build(program);
      std::vector<uint8_t> stream{0x17};
      EXPECT_EQ(program.Compile(&stream, idle), c.ok) << c.name;
      EXPECT_EQ(stream, Cat(Hex("17"), c.ok ? c.code : std::vector<uint8_t>{})) << c.name;
    }
  }
}

struct RawCase {
  const char* name;
  std::function<void(TProgramCompiler&)> build;  // values stored unchecked
  bool idle;
  bool ok;
  std::vector<uint8_t> code;
  std::vector<double> marks;
  double time;
};

TEST(TProgramCompilerBytecode, UncheckedValuesInPackagesCompileWithoutOverflow) {
  const std::vector<RawCase> cases = {
      {"empty reading", [](auto& p) { p.AddReading(0, 0); }, false, true, Hex("FF"), {}, 0},
      {"reading of interval 0", [](auto& p) { p.AddReading(5000, 0); }, false, false, {}, {}, 0},
      {"negative reading of interval 0",
       [](auto& p) { p.AddReading(-5000, 0); },
       false,
       true,
       Hex("FF"),
       {},
       -5000},
      {"negative reading and interval",
       [](auto& p) { p.AddReading(-3000, -1000); },
       false,
       true,
       Hex("E8 E8 E8 E8 E8 E8 FF"),
       {0, -1000, -2000},
       -3000},
      {"reading at the ends of the range",
       [](auto& p) { p.AddReading(kMin, kMax); },
       false,
       true,
       Hex("FF"),
       {},
       -1},
      {"most negative silence",
       [](auto& p) { p.AddSilence(kMin); },
       false,
       true,
       Hex("FF"),
       {},
       static_cast<double>(kMin)},
      {"largest impulse", [](auto& p) { p.AddImpulse(0, kMax, kMax); }, false, false, {}, {}, 0},
      {"largest impulse, idle",
       [](auto& p) { p.AddImpulse(0, kMax, kMax); },
       true,
       false,
       {},
       {},
       0},
      {"negative impulse",
       [](auto& p) { p.AddImpulse(1, -1000, 0); },
       false,
       true,
       Cat(Hex("78"), Cat(Repeat(0x79, 8), Hex("FF"))),
       {},
       3100},
      {"negative impulse, idle",
       [](auto& p) { p.AddImpulse(1, -1000, 0); },
       true,
       true,
       Hex("F9 F9 F9 F9 F9 F9 F8 FF"),
       {},
       3100},
      {"most negative impulse, idle",
       [](auto& p) { p.AddImpulse(1, kMin, kMin); },
       true,
       true,
       Hex("FF"),
       {},
       static_cast<double>(kMin + 4100)},
  };
  for (const RawCase& c : cases) {
    TProgramCompiler raw;
    c.build(raw);
    TProgramCompilerBytecode program;
    ASSERT_TRUE(program.AddPackage(&raw, 1));
    const auto got = CompileProgram(program, c.idle);
    EXPECT_EQ(got.ok, c.ok) << c.name;
    if (!c.ok) continue;
    EXPECT_EQ(got.code, c.code) << c.name;
    EXPECT_EQ(got.marks, c.marks) << c.name;
    EXPECT_EQ(got.time, c.time) << c.name;
  }
}

}  // namespace
}  // namespace quellar::program
