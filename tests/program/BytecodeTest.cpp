#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "ProgramTestSupport.h"
#include "program/DrvCompilerBytecode.h"

namespace quellar::program {
namespace {

using test::Build;
using test::CompileProgram;
using test::CompileText;
using test::Hex;

const std::string kMax = std::to_string(std::numeric_limits<int64_t>::max());
const std::string kMin = std::to_string(std::numeric_limits<int64_t>::min());
const std::string kMaxCount = std::to_string(std::numeric_limits<int32_t>::max());

struct ByteCase {
  std::string items;
  bool idle;
  std::string code;
  std::vector<double> marks;
  double time;
};

void ExpectCode(const ByteCase& c, const test::Compiled& got) {
  EXPECT_TRUE(got.ok) << c.items;
  EXPECT_EQ(got.code, Hex(c.code)) << c.items;
  EXPECT_EQ(got.marks, c.marks) << c.items;
  EXPECT_EQ(got.time, c.time) << c.items;
}

TEST(TProgramCompilerBytecode, WritesEachPeriodGreedilyByDelayClass) {
  const ByteCase cases[] = {
      {"i:1:2500:8000 r:3000:1000 s:1300",
       false,
       "38 31*5 79*8 F9*8 E9 F9 E9 F9 E9 F9 F9 F9 F8 F8 F8 FF",
       {10600, 11600, 12600},
       14900},
      {"i:1:2500:8000 r:3000:1000 s:1300",
       true,
       "FA FA F9 F8 E9 F9 E9 F9 E9 F9 F9 F9 F8*3 FF",
       {10600, 11600, 12600},
       14900},
      {"", false, "FF", {}, 0},
      {"s:100", false, "F8 FF", {}, 100},
      {"s:600", false, "F9 F8 FF", {}, 600},
      {"s:1000000000", false, "FE FE FF", {}, 1e9},
      {"s:555500", false, "FC FB FA F9 FF", {}, 555500},
      {"s:5001", false, "FA F8 FF", {}, 5100},
      {"s:499999900", false, "FD*99 FC*9 FB*9 FA*9 F9*9 F8*4 FF", {}, 499999900},
      {"i:0:100:4000", false, "18 10 79*8 FF", {}, 4200},
      {"i:2:600:9000", false, "58 51 50 79*8 FA FF", {}, 9700},
      {"i:3:100:4000", false, "78 70 79*8 FF", {}, 4200},
      {"i:7:100:4000", false, "18 10 79*8 FF", {}, 4200},  // an unknown phase code plays at 0
      {"r:1700:600", false, "E8 E8 F8*4 E8 E8 F8*4 F9 FF", {0, 600}, 1700},
      {"r:3500:1000", false, "E9 F9 E9 F9 E9 F9 F9 FF", {0, 1000, 2000}, 3500},
      {"r:500:1000", false, "F9 FF", {}, 500},
      {"r:700:700", false, "E9 F8 F8 FF", {0}, 700},
      {"s:200 p:3 r:1500:1000 end",
       false,
       "F8 F8 E9 F9 F9 E9 F9 F9 E9 F9 F9 FF",
       {200, 1700, 3200},
       4700},
      {"p:-4 r:1000:1000 end s:100", false, "F8 FF", {}, 100},
      {"i:2:100:4000 r:1000:500", true, "F9*8 F8 F8 E8 E8 F8*3 E8 E8 F8*3 FF", {4200, 4700}, 5200},
      // Silences under the 4000 ns tail: the tail is written in full, and the running time
      // and every later mark follow what was written, in both forms.
      {"i:0:1000:-250 r:1000:1000", false, "18 11 11 79*8 E9 F9 FF", {5100}, 6100},
      {"i:0:1000:3900 r:1000:1000", false, "18 11 11 79*8 E9 F9 FF", {5100}, 6100},
      {"i:0:1000:0 r:1000:1000", true, "FA F8 E9 F9 FF", {5100}, 6100},
      {"i:0:1000:3900 r:1000:1000", true, "FA F8 E9 F9 FF", {5100}, 6100},
  };
  for (const ByteCase& c : cases) ExpectCode(c, CompileText(c.items, c.idle));
}

TEST(TProgramCompilerBytecode, AppendsToTheStreamAndReplacesTheMarks) {
  TProgramCompilerBytecode program;
  program.AddReading(2000, 1000);
  std::vector<uint8_t> stream{0xAA, 0xBB};
  ASSERT_TRUE(program.Compile(&stream, false));
  EXPECT_EQ(stream, Hex("AA BB E9 F9 E9 F9 FF"));
  EXPECT_FALSE(program.Idle());

  // Clear keeps the marks until the next compilation, which starts them from empty.
  program.Clear();
  EXPECT_EQ(program.Markers().Count(), 2);
  EXPECT_EQ(program.Markers().Mark(1), 1000);
  program.AddReading(1000, 1000);
  EXPECT_EQ(CompileProgram(program, false).marks, (std::vector<double>{0}));

  // An absent stream clears the marks and writes nothing.
  EXPECT_FALSE(program.Compile(nullptr, true));
  EXPECT_EQ(program.Markers().Count(), 0);
  EXPECT_EQ(program.Markers().Time(), 0);
  EXPECT_TRUE(program.Idle());
}

TEST(TProgramCompilerBytecode, CodeOf32767BytesFitsAndOneMoreDoesNot) {
  // 16383 samples of two bytes each and the end mark; then 32766 class-6 bytes and the mark.
  for (const std::string fits : {"r:16383000:1000", "s:16383000000000"}) {
    TProgramCompilerBytecode program;
    Build(program, fits);
    std::vector<uint8_t> stream{0x42};
    ASSERT_TRUE(program.Compile(&stream, false)) << fits;
    EXPECT_EQ(stream.size(), 1 + kMaxCodeSize);
    EXPECT_EQ(stream.back(), 0xFF);
    program.AddSilence(fits[0] == 'r' ? 100 : 500000000);
    stream = {0x42};
    EXPECT_FALSE(program.Compile(&stream, false)) << fits;
    EXPECT_EQ(stream, Hex("42"));
  }
}

// Programs far too long for the code, repeats of silent items and unchecked values reached
// through packages of plain programs: compilation finishes at once, without overflow, with
// the right answer.
TEST(TProgramCompilerBytecode, ExtremeProgramsFinishQuicklyWithTheRightAnswer) {
  struct Case {
    std::string items;
    bool raw;  // stored unchecked
    bool idle;
    bool ok;
    std::string code;
    std::vector<double> marks;
    double time;
  };
  std::string silentRepeats = "p:" + kMaxCount;
  for (int i = 0; i < 20000; ++i) silentRepeats += " p:-1 end";
  silentRepeats += " s:100 end";
  const Case cases[] = {
      {"s:1000000000000000000", false, false, false, "", {}, 0},
      {"s:9223372036854775800", false, true, false, "", {}, 0},
      {"r:500000000000000000:500", false, false, false, "", {}, 0},
      {"p:" + kMaxCount + " end", false, false, true, "FF", {}, 0},
      {"p:" + kMaxCount + " p:" + kMaxCount + " end end s:500",
       false,
       true,
       true,
       "F9 FF",
       {},
       500},
      {silentRepeats, false, false, false, "", {}, 0},
      {"p:" + kMaxCount + " s:100 end", false, true, false, "", {}, 0},
      {"p:" + kMaxCount + " p:" + kMaxCount + " r:1000:500 end end",
       false,
       false,
       false,
       "",
       {},
       0},
      {"r:0:0", true, false, true, "FF", {}, 0},
      {"r:5000:0", true, false, false, "", {}, 0},
      {"r:-5000:0", true, false, true, "FF", {}, -5000},
      {"r:-3000:-1000", true, false, true, "E8*6 FF", {0, -1000, -2000}, -3000},
      {"r:" + kMin + ":" + kMax, true, false, true, "FF", {}, -1},
      {"s:" + kMin, true, false, true, "FF", {}, static_cast<double>(INT64_MIN)},
      {"i:0:" + kMax + ":" + kMax, true, false, false, "", {}, 0},
      {"i:0:" + kMax + ":" + kMax, true, true, false, "", {}, 0},
      {"i:1:-1000:0", true, false, true, "78 79*8 FF", {}, 3100},
      {"i:1:-1000:0", true, true, true, "F9*6 F8 FF", {}, 3100},
      {"i:1:" + kMin + ":" + kMin,
       true,
       true,
       true,
       "FF",
       {},
       static_cast<double>(INT64_MIN + 4100)},
  };
  for (const Case& c : cases) {
    TProgramCompiler raw;
    TProgramCompilerBytecode program;
    if (c.raw) {
      Build<TProgramCompiler>(raw, c.items);
      ASSERT_TRUE(program.AddPackage(&raw, 1));
    } else {
      Build(program, c.items);
    }
    std::vector<uint8_t> stream{0x17};
    const test::Compiled got = CompileProgram(program, c.idle);
    EXPECT_EQ(got.ok, c.ok) << c.items.substr(0, 60);
    if (!c.ok) {
      EXPECT_TRUE(got.code.empty());
      continue;
    }
    ExpectCode({c.items, c.idle, c.code, c.marks, c.time}, got);
  }
}

}  // namespace
}  // namespace quellar::program
