// The program model, its code and the disassembler. Programs as text:
// i:PHASE:DURATION:SILENCE  s:DURATION  r:DURATION:INTERVAL  p:COUNT ... end
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "errors/Asserts.h"
#include "program/DrvCompilerBytecode.h"
#include "program/DrvConversions.h"
#include "program/DrvDisassembler.h"
#include "support/TestSupport.h"

namespace quellar::program {
namespace {

// "79*8 FF": bytes in hex, each optionally repeated.
std::vector<uint8_t> Hex(const std::string& text) {
  std::istringstream in(text);
  std::vector<uint8_t> bytes;
  for (std::string word; in >> word;) {
    const size_t star = word.find('*');
    const size_t count = star == std::string::npos ? 1 : std::stoul(word.substr(star + 1));
    bytes.insert(bytes.end(), count, static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
  }
  return bytes;
}

// Adds the items through the program's own add operations, so its admission rules apply.
template <class Program = TProgramCompilerBytecode>
void Build(TProgramCompiler& program, const std::string& text) {
  std::istringstream in(text);
  std::vector<std::pair<std::unique_ptr<Program>, int32_t>> open;
  auto target = [&]() -> TProgramCompiler& { return open.empty() ? program : *open.back().first; };
  for (std::string word; in >> word;) {
    std::istringstream fields(word.find(':') == std::string::npos ? "" : word.substr(2));
    std::vector<int64_t> v;
    for (std::string f; std::getline(fields, f, ':');) v.push_back(std::stoll(f));
    if (word[0] == 'i') target().AddImpulse(static_cast<uint8_t>(v[0]), v[1], v[2]);
    if (word[0] == 's') target().AddSilence(v[0]);
    if (word[0] == 'r') target().AddReading(v[0], v[1]);
    if (word[0] == 'p') open.emplace_back(std::make_unique<Program>(), static_cast<int32_t>(v[0]));
    if (word == "end") {
      auto body = std::move(open.back());
      open.pop_back();
      target().AddPackage(body.first.get(), body.second);
    }
  }
}

// The items of a program in the text form of Build.
std::string Describe(const TProgramCompiler& program) {
  std::string text;
  for (int64_t i = 0; i < program.Count(); ++i) {
    const TProgramItem* item = &program.Items(i);
    text += text.empty() ? "" : " ";
    if (auto* p = dynamic_cast<const TProgramImpulse*>(item))
      text += "i:" + std::to_string(p->Phase) + ":" + std::to_string(p->Duration) + ":" +
              std::to_string(p->Silence);
    if (auto* p = dynamic_cast<const TProgramSilence*>(item))
      text += "s:" + std::to_string(p->Duration);
    if (auto* p = dynamic_cast<const TProgramReading*>(item))
      text += "r:" + std::to_string(p->Duration) + ":" + std::to_string(p->Interval);
    if (auto* p = dynamic_cast<const TProgramPackage*>(item)) {
      const std::string body = Describe(p->Program());
      text += "p:" + std::to_string(p->Count) + (body.empty() ? "" : " " + body) + " end";
    }
  }
  return text;
}

std::vector<double> Marks(const TProgramCompiler& program) {
  std::vector<double> marks;
  for (int32_t i = 0; i < program.Markers().Count(); ++i)
    marks.push_back(program.Markers().Mark(i));
  return marks;
}

const std::string kMax = std::to_string(std::numeric_limits<int64_t>::max());
const std::string kMin = std::to_string(std::numeric_limits<int64_t>::min());
const std::string kMaxCount = std::to_string(std::numeric_limits<int32_t>::max());

// "idle ": the idle form; "raw ": stored unchecked by a plain program inside a package.
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
      {"s:1000000000", "FE FE FF", {}, 1e9},
      {"s:555500", "FC FB FA F9 FF", {}, 555500},
      {"s:499999900", "FD*99 FC*9 FB*9 FA*9 F9*9 F8*4 FF", {}, 499999900},
      {"i:2:600:9000", "58 51 50 79*8 FA FF", {}, 9700},
      {"i:3:100:4000", "78 70 79*8 FF", {}, 4200},
      {"i:7:100:4000", "18 10 79*8 FF", {}, 4200},  // an unknown phase code plays at 0
      {"r:1700:600", "E8 E8 F8*4 E8 E8 F8*4 F9 FF", {0, 600}, 1700},
      {"r:500:1000", "F9 FF", {}, 500},
      {"r:700:700", "E9 F8 F8 FF", {0}, 700},
      {"s:200 p:3 r:1500:1000 end", "F8 F8 E9 F9 F9 E9 F9 F9 E9 F9 F9 FF", {200, 1700, 3200}, 4700},
      {"p:-4 r:1000:1000 end s:100", "F8 FF", {}, 100},
      {"idle i:2:100:4000 r:1000:500", "F9*8 F8 F8 E8 E8 F8*3 E8 E8 F8*3 FF", {4200, 4700}, 5200},
      // Silences under the 4000 ns tail: marks and time follow the full tail written.
      {"i:0:1000:-250 r:1000:1000", "18 11 11 79*8 E9 F9 FF", {5100}, 6100},
      {"idle i:0:1000:0 r:1000:1000", "FA F8 E9 F9 FF", {5100}, 6100},
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
    std::vector<uint8_t> code;
    EXPECT_EQ(program.Compile(&code, idle), c.code != nullptr);
    EXPECT_EQ(code, Hex(c.code ? c.code : ""));
    if (c.code) {
      EXPECT_EQ(Marks(program), c.marks);
      EXPECT_EQ(program.Markers().Time(), c.time);
    }
  }
}

TEST(TProgramCompilerBytecode, ReplacesTheMarksAndIdleFormOnEachCompile) {
  TProgramCompilerBytecode program;
  program.AddReading(2000, 1000);
  std::vector<uint8_t> stream;
  ASSERT_TRUE(program.Compile(&stream, false));
  program.Clear();
  program.AddReading(1000, 1000);
  ASSERT_TRUE(program.Compile(&stream, false));
  EXPECT_EQ(Marks(program), (std::vector<double>{0}));
  EXPECT_FALSE(program.Compile(nullptr, true));
  EXPECT_EQ(program.Markers().Count(), 0);
  EXPECT_EQ(program.Markers().Time(), 0);
  EXPECT_TRUE(program.Idle());
}

TEST(TProgramCompilerBytecode, CodeOf32767BytesFitsAndOneMoreDoesNot) {
  // After a byte already there: 16383 two-byte samples or 32766 class-6 bytes, and the mark.
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
  EXPECT_EQ(Timeline(Disassemble(Hex("38 31*5 79*8 F9*8 E9 F9 E9 F9 E9 F9 F9 F9 F8 F8 F8 FF"))),
            "lead-in/90@0+1:0+100 impulse/90@1+5:100+2500 tail@6+8:2600+4000 "
            "silence@14+8:6600+4000 strobe@22+1:10600+500 silence@23+1:11100+500 "
            "strobe@24+1:11600+500 silence@25+1:12100+500 strobe@26+1:12600+500 "
            "silence@27+6:13100+1800");
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
    const CodeListing l = Disassemble(Hex(c.code));
    EXPECT_EQ(std::tuple(l.valid, l.errorOffset, l.error, l.periods.size()),
              std::tuple(false, c.offset, c.error, c.periods))
        << c.code;
  }
}

TEST(TProgramCompilerBytecode, AdmitsRoundedValuesAndSaysWhyItRefuses) {
  struct Case {
    std::string items, stored;
    TRefusal refusal;
    std::string value;
    int64_t rounded;
  };
  const Case cases[] = {
      {"i:2:1:0", "i:2:100:0", TRefusal::None, "", 0},
      {"i:2:2450:999", "i:2:2500:1000", TRefusal::None, "", 0},
      {"i:2:100:-250", "i:2:100:-250", TRefusal::None, "", 0},
      {"i:2:0:5000", "", TRefusal::NotAboveZero, "duration", 0},
      {"i:2:" + kMax + ":1000", "", TRefusal::TooLarge, "duration", INT64_MAX},
      {"i:2:100:" + kMax, "", TRefusal::TooLarge, "silence", INT64_MAX},
      {"s:1", "s:100", TRefusal::None, "", 0},
      {"s:9223372036854775800", "s:9223372036854775800", TRefusal::None, "", 0},
      // Above 2^53 a double quotient would lose the remainder.
      {"s:9007199254740993", "s:9007199254741000", TRefusal::None, "", 0},
      {"s:0", "", TRefusal::NotAboveZero, "duration", 0},
      {"s:9223372036854775801", "", TRefusal::TooLarge, "duration", 9223372036854775801},
      {"r:499:1000", "r:500:1000", TRefusal::None, "", 0},
      {"r:1000:401", "r:1000:500", TRefusal::None, "", 0},
      {"r:400:1000", "", TRefusal::BelowMinimum, "duration", 400},
      {"r:1000:400", "", TRefusal::BelowMinimum, "interval", 400},
      {"r:3000:" + std::to_string(INT64_MAX - 1), "", TRefusal::TooLarge, "interval",
       INT64_MAX - 1},
      {"p:0 s:500 end", "", TRefusal::ZeroCount, "count", 0},
      {"p:-2 s:500 end", "p:-2 s:500 end", TRefusal::None, "", 0},
  };
  for (const Case& c : cases) {
    TProgramCompilerBytecode program;
    Build(program, c.items);
    EXPECT_EQ(Describe(program), c.stored) << c.items;
    const TAdmission& admission = program.LastAdmission();
    EXPECT_EQ(admission.refusal, c.refusal) << c.items;
    EXPECT_EQ(admission.value, c.value) << c.items;
    EXPECT_EQ(admission.rounded, c.rounded) << c.items;
  }
  TProgramCompilerBytecode program;
  EXPECT_FALSE(program.AddPackage(nullptr, 3));
  EXPECT_EQ(program.LastAdmission().refusal, TRefusal::NoSource);
  EXPECT_TRUE(program.AddSilence(100));
  EXPECT_EQ(program.LastAdmission().refusal, TRefusal::None);
}

TEST(TProgramCompiler, StoresValuesUnchangedCompilesToNothingAndAssignsByKind) {
  TProgramCompiler program;
  Build<TProgramCompiler>(program, "s:-7 r:3:0 i:9:0:1 p:0 end");
  EXPECT_TRUE(program.AddPackage(nullptr, 0));
  EXPECT_EQ(Describe(program), "s:-7 r:3:0 i:9:0:1 p:0 end p:0 end");
  std::vector<uint8_t> stream{1, 2};
  EXPECT_FALSE(program.Compile(&stream, true));
  EXPECT_TRUE(program.Idle());
  EXPECT_EQ(stream, (std::vector<uint8_t>{1, 2}));
  quellar::test::ReportCapture capture;
  EXPECT_THROW(program.Items(5), EListError);
  EXPECT_THROW(program.Items(-1), EListError);
  const TProgramCompiler& constant = program;
  EXPECT_THROW(constant.Items(5), EListError);
  EXPECT_EQ(capture.Count(), 3u);
  // Items assign only from items of their own kind.
  TProgramCompiler source, copy;
  Build<TProgramCompiler>(source, "i:3:300:7000 s:900 r:3000:1000 p:4 s:500 end");
  Build<TProgramCompiler>(copy, "i:0:0:0 s:0 r:0:0 p:0 end");
  for (int64_t t = 0; t < 4; ++t) {
    EXPECT_FALSE(copy.Items(t).Assign(nullptr));
    for (int64_t s = 0; s < 4; ++s)
      EXPECT_EQ(copy.Items(t).Assign(&source.Items(s)), s == t) << t << " from " << s;
  }
  EXPECT_EQ(Describe(copy), Describe(source));
}

TEST(TProgramCompiler, AssignCopiesDeeplyAlsoFromItselfOrFromInside) {
  TProgramCompilerBytecode source, copy;
  Build(source, "s:100 p:2 r:1000:500 end");
  Build(copy, "s:999");
  ASSERT_TRUE(copy.Assign(&source));
  source.Items(1).SubProgram()->Clear();
  source.AddSilence(5000);
  EXPECT_EQ(Describe(copy), "s:100 p:2 r:1000:500 end");

  EXPECT_TRUE(copy.Assign(&copy));
  EXPECT_EQ(Describe(copy), "s:100 p:2 r:1000:500 end");
  // A package of the program itself, then the program replaced by that package's content.
  EXPECT_TRUE(copy.AddPackage(&copy, 4));
  EXPECT_EQ(Describe(copy), "s:100 p:2 r:1000:500 end p:4 s:100 p:2 r:1000:500 end end");
  EXPECT_TRUE(copy.Assign(copy.Items(2).SubProgram()));
  EXPECT_EQ(Describe(copy), "s:100 p:2 r:1000:500 end");
  TProgramPackage outer;
  Build(outer.Program(), "p:3 p:5 s:700 end end");
  EXPECT_TRUE(outer.Assign(&outer.Program().Items(0)));
  EXPECT_EQ(outer.Count, 3);
  EXPECT_EQ(Describe(outer.Program()), "p:5 s:700 end");

  EXPECT_FALSE(copy.Assign(nullptr));
  EXPECT_EQ(copy.Count(), 0);
}

TEST(TProgramCompiler, DeepNestingCopiesAndDestroysWithoutRecursion) {
  constexpr int kDepth = 100000;
  auto program = std::make_unique<TProgramCompilerBytecode>();
  TProgramCompiler empty;
  TProgramCompiler* level = program.get();
  for (int i = 0; i < kDepth; ++i) {
    level->AddPackage(&empty, 1);
    level = level->Items(0).SubProgram();
  }
  level->AddSilence(500);
  TProgramCompilerBytecode copy;
  ASSERT_TRUE(copy.Assign(program.get()));
  std::vector<uint8_t> code;
  EXPECT_TRUE(copy.Compile(&code, false));
  EXPECT_EQ(code, (std::vector<uint8_t>{0xF9, 0xFF}));
  program.reset();
  copy.Clear();
}

TEST(TProgramMarkers, GrowsFromSixtyFourByDoublingAndChecksIndexes) {
  TProgramMarkers markers;
  markers.Advance(250);
  for (int i = 0; i < 64; ++i) markers.AddMark();
  EXPECT_EQ(markers.Capacity(), 64);
  markers.Advance(-50);
  markers.AddMark();
  EXPECT_EQ(markers.Capacity(), 128);
  EXPECT_EQ(markers.Mark(63), 250);
  EXPECT_EQ(markers.Mark(64), 200);
  quellar::test::ReportCapture capture;
  EXPECT_THROW(markers.Mark(65), EListError);
  EXPECT_THROW(markers.Mark(-1), EListError);
  markers.Clear();
  EXPECT_EQ(markers.Capacity(), 0);
}

TEST(DrvConversions, RoundsHalvesToEvenAndToStepsAndMapsPhases) {
  constexpr int64_t kOdd = (1LL << 52) + 1;  // odd, past where doubles hold fractions
  constexpr int64_t kRefused = 5;
  const std::pair<double, int64_t> cases[] = {
      {2.5, 2},           {3.5, 4},           {-2.5, -2},
      {-3.5, -4},         {0.5, 0},           {2.4999999, 2},
      {2.5000001, 3},     {kOdd + 0.0, kOdd}, {-0x1p63, INT64_MIN},
      {0x1p63, kRefused}, {-1e19, kRefused},  {INFINITY, kRefused},
      {NAN, kRefused}};
  for (const auto& [value, expected] : cases) {
    int64_t result = kRefused;
    EXPECT_EQ(RoundHalfEven(value, result), expected != kRefused) << value;
    EXPECT_EQ(result, expected) << value;
  }
  for (const int64_t step : {0, -5}) {
    int64_t result = 0;
    EXPECT_TRUE(TryRoundUpToStep(7, step, result));
    EXPECT_EQ(result, 7);
  }
  const std::pair<double, int> phases[] = {{0, 0}, {90, 1}, {180, 2}, {270, 3}, {360, 0}, {NAN, 0}};
  for (const auto& [degrees, code] : phases)
    EXPECT_EQ(PhaseCodeFromDegrees(degrees), code) << degrees;
}

}  // namespace
}  // namespace quellar::program
