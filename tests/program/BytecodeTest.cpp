#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "ProgramTestSupport.h"
#include "program/DrvCompilerBytecode.h"
#include "program/DrvDisassembler.h"

namespace quellar::program {
namespace {

using test::Build;
using test::CompileProgram;
using test::Hex;

const std::string kMax = std::to_string(std::numeric_limits<int64_t>::max());
const std::string kMin = std::to_string(std::numeric_limits<int64_t>::min());
const std::string kMaxCount = std::to_string(std::numeric_limits<int32_t>::max());

// Items may start with "idle " (the idle form) and "raw " (stored unchecked by a plain program
// and reached through a package). No code: the compilation fails and writes nothing.
struct Case {
  std::string items;
  const char* code;
  std::vector<double> marks;
  double time;
};

bool TakeFlag(std::string& items, const char* flag) {
  if (items.rfind(flag, 0) != 0) return false;
  items.erase(0, std::strlen(flag));
  return true;
}

// Each period is written greedily by delay class; extremes finish at once with the right answer.
TEST(TProgramCompilerBytecode, CompilesItemsToExactCodeMarksAndTime) {
  const char* example = "38 31*5 79*8 F9*8 E9 F9 E9 F9 E9 F9 F9 F9 F8 F8 F8 FF";
  const char* idleExample = "FA FA F9 F8 E9 F9 E9 F9 E9 F9 F9 F9 F8*3 FF";
  std::string silentRepeats = "p:" + kMaxCount;
  for (int i = 0; i < 20000; ++i) silentRepeats += " p:-1 end";
  silentRepeats += " s:100 end";
  const Case cases[] = {
      {"i:1:2500:8000 r:3000:1000 s:1300", example, {10600, 11600, 12600}, 14900},
      {"idle i:1:2500:8000 r:3000:1000 s:1300", idleExample, {10600, 11600, 12600}, 14900},
      {"", "FF", {}, 0},
      {"s:100", "F8 FF", {}, 100},
      {"s:600", "F9 F8 FF", {}, 600},
      {"s:1000000000", "FE FE FF", {}, 1e9},
      {"s:555500", "FC FB FA F9 FF", {}, 555500},
      {"s:5001", "FA F8 FF", {}, 5100},
      {"s:499999900", "FD*99 FC*9 FB*9 FA*9 F9*9 F8*4 FF", {}, 499999900},
      {"i:0:100:4000", "18 10 79*8 FF", {}, 4200},
      {"i:2:600:9000", "58 51 50 79*8 FA FF", {}, 9700},
      {"i:3:100:4000", "78 70 79*8 FF", {}, 4200},
      {"i:7:100:4000", "18 10 79*8 FF", {}, 4200},  // an unknown phase code plays at 0
      {"r:1700:600", "E8 E8 F8*4 E8 E8 F8*4 F9 FF", {0, 600}, 1700},
      {"r:3500:1000", "E9 F9 E9 F9 E9 F9 F9 FF", {0, 1000, 2000}, 3500},
      {"r:500:1000", "F9 FF", {}, 500},
      {"r:700:700", "E9 F8 F8 FF", {0}, 700},
      {"s:200 p:3 r:1500:1000 end", "F8 F8 E9 F9 F9 E9 F9 F9 E9 F9 F9 FF", {200, 1700, 3200}, 4700},
      {"p:-4 r:1000:1000 end s:100", "F8 FF", {}, 100},
      {"idle i:2:100:4000 r:1000:500", "F9*8 F8 F8 E8 E8 F8*3 E8 E8 F8*3 FF", {4200, 4700}, 5200},
      // Silences under the 4000 ns tail: the tail is written in full, and the running time
      // and every later mark follow what was written, in both forms.
      {"i:0:1000:-250 r:1000:1000", "18 11 11 79*8 E9 F9 FF", {5100}, 6100},
      {"i:0:1000:3900 r:1000:1000", "18 11 11 79*8 E9 F9 FF", {5100}, 6100},
      {"idle i:0:1000:0 r:1000:1000", "FA F8 E9 F9 FF", {5100}, 6100},
      {"idle i:0:1000:3900 r:1000:1000", "FA F8 E9 F9 FF", {5100}, 6100},
      // Far too long for the code, repeats of silent items, unchecked values.
      {"s:1000000000000000000", nullptr, {}, 0},
      {"idle s:9223372036854775800", nullptr, {}, 0},
      {"r:500000000000000000:500", nullptr, {}, 0},
      {"p:" + kMaxCount + " end", "FF", {}, 0},
      {"idle p:" + kMaxCount + " p:" + kMaxCount + " end end s:500", "F9 FF", {}, 500},
      {silentRepeats, nullptr, {}, 0},
      {"idle p:" + kMaxCount + " s:100 end", nullptr, {}, 0},
      {"p:" + kMaxCount + " p:" + kMaxCount + " r:1000:500 end end", nullptr, {}, 0},
      {"raw r:0:0", "FF", {}, 0},
      {"raw r:5000:0", nullptr, {}, 0},
      {"raw r:-5000:0", "FF", {}, -5000},
      {"raw r:-3000:-1000", "E8*6 FF", {0, -1000, -2000}, -3000},
      {"raw r:" + kMin + ":" + kMax, "FF", {}, -1},
      {"raw s:" + kMin, "FF", {}, static_cast<double>(INT64_MIN)},
      {"raw i:0:" + kMax + ":" + kMax, nullptr, {}, 0},
      {"idle raw i:0:" + kMax + ":" + kMax, nullptr, {}, 0},
      {"raw i:1:-1000:0", "78 79*8 FF", {}, 3100},
      {"idle raw i:1:-1000:0", "F9*6 F8 FF", {}, 3100},
      {"idle raw i:1:" + kMin + ":" + kMin, "FF", {}, static_cast<double>(INT64_MIN + 4100)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.items.substr(0, 60));
    std::string items = c.items;
    const bool idle = TakeFlag(items, "idle "), raw = TakeFlag(items, "raw ");
    TProgramCompiler plain;
    TProgramCompilerBytecode program;
    if (raw) {
      Build<TProgramCompiler>(plain, items);
      ASSERT_TRUE(program.AddPackage(&plain, 1));
    } else {
      Build(program, items);
    }
    const test::Compiled got = CompileProgram(program, idle);
    EXPECT_EQ(got.ok, c.code != nullptr);
    EXPECT_EQ(got.code, Hex(c.code ? c.code : ""));
    if (c.code) {
      EXPECT_EQ(got.marks, c.marks);
      EXPECT_EQ(got.time, c.time);
    }
  }
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

// "kind[/phase]@offset+bytes:start+length" for each period, separated by spaces.
std::string Timeline(const CodeListing& listing) {
  std::string text;
  for (const CodePeriod& p : listing.periods) {
    text += text.empty() ? "" : " ";
    text += PeriodName(p.kind);
    if (p.kind == PeriodKind::Impulse || p.kind == PeriodKind::LeadIn)
      text += "/" + std::to_string(PhaseDegrees(p.phase));
    text += "@" + std::to_string(p.offset) + "+" + std::to_string(p.bytes) + ":" +
            std::to_string(p.start) + "+" + std::to_string(p.length);
  }
  return text;
}

TEST(Disassemble, ReadsCodeAsATimeline) {
  CodeListing listing = Disassemble(Hex("38 31*5 79*8 F9*8 E9 F9 E9 F9 E9 F9 F9 F9 F8 F8 F8 FF"));
  ASSERT_TRUE(listing.valid) << listing.error;
  EXPECT_EQ(Timeline(listing),
            "lead-in/90@0+1:0+100 impulse/90@1+5:100+2500 tail@6+8:2600+4000 "
            "silence@14+8:6600+4000 strobe@22+1:10600+500 silence@23+1:11100+500 "
            "strobe@24+1:11600+500 silence@25+1:12100+500 strobe@26+1:12600+500 "
            "silence@27+6:13100+1800");
  EXPECT_EQ(listing.strobes, (std::vector<int64_t>{10600, 11600, 12600}));
  EXPECT_EQ(listing.duration, 14900);

  // A tail followed at once by the next impulse's lead-in.
  listing = Disassemble(Hex("18 10 79*8 58 50 79*8 FF"));
  ASSERT_TRUE(listing.valid);
  EXPECT_EQ(Timeline(listing),
            "lead-in/0@0+1:0+100 impulse/0@1+1:100+100 tail@2+8:200+4000 "
            "lead-in/180@10+1:4200+100 impulse/180@11+1:4300+100 tail@12+8:4400+4000");
  EXPECT_EQ(listing.duration, 8400);
}

TEST(Disassemble, ReportsInvalidCodeWithItsOffset) {
  struct Case {
    std::string code;
    size_t offset;
    std::string error;
    size_t periods;
  };
  const Case cases[] = {
      {"", 0, "no end mark", 0},
      {"F8*32767 FF", 32767, "longer than 32767 bytes", 1},
      {"F9 F8", 2, "no end mark", 1},
      {"F9 FF F8", 2, "data after the end mark", 1},
      {"F9 F9 0F FF", 2, "delay class 7 outside the end mark", 1},
      {"E0 FF", 0, "impulse outside its window", 0},
      {"F8 68 FF", 1, "strobe inside an impulse window", 1},
  };
  for (const Case& c : cases) {
    const CodeListing listing = Disassemble(Hex(c.code));
    EXPECT_FALSE(listing.valid) << c.code;
    EXPECT_EQ(listing.errorOffset, c.offset) << c.code;
    EXPECT_EQ(listing.error, c.error) << c.code;
    EXPECT_EQ(listing.periods.size(), c.periods) << c.code;
  }
}

}  // namespace
}  // namespace quellar::program
