#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "ProgramTestSupport.h"
#include "errors/Asserts.h"
#include "program/DrvCompilerBytecode.h"
#include "support/TestSupport.h"

namespace quellar::program {
namespace {

using test::Build;
using test::TDescriber;

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

TEST(TryRoundUpToStep, RoundsPositiveValuesUpAndRefusesOverflow) {
  struct Case {
    int64_t value, step;
    bool ok;
    int64_t expected;
  };
  const Case cases[] = {
      {2501, 100, true, 2600},
      {2500, 100, true, 2500},
      {1, 100, true, 100},
      {-50, 100, true, -50},
      {0, 100, true, 0},
      {kMin, 100, true, kMin},
      {7, 0, true, 7},
      {7, -5, true, 7},
      // Above 2^53 a double quotient loses the remainder; the result must still be a step.
      {9007199254740993, 100, true, 9007199254741000},
      {9223372036854775800, 100, true, 9223372036854775800},
      {9223372036854775801, 100, false, 17},
      {kMax, 100, false, 17},
  };
  for (const Case& c : cases) {
    int64_t result = 17;
    EXPECT_EQ(TryRoundUpToStep(c.value, c.step, result), c.ok) << c.value;
    EXPECT_EQ(result, c.expected) << c.value << " / " << c.step;
  }
}

TEST(TProgramCompilerBytecode, AdmitsRoundedValuesAndSaysWhyItRefuses) {
  const std::string max = std::to_string(kMax);
  struct Case {
    std::string items, stored;
    TRefusal refusal;
    std::string value;
    int64_t rounded;
  };
  const Case cases[] = {
      {"i:2:1:0", "i:2:100:0", TRefusal::None, "", 0},  // the model does not raise the silence
      {"i:2:2450:999", "i:2:2500:1000", TRefusal::None, "", 0},
      {"i:2:100:-250", "i:2:100:-250", TRefusal::None, "", 0},
      {"i:2:0:5000", "", TRefusal::NotAboveZero, "duration", 0},
      {"i:2:-100:5000", "", TRefusal::NotAboveZero, "duration", -100},
      {"i:2:" + max + ":1000", "", TRefusal::TooLarge, "duration", kMax},
      {"i:2:100:" + max, "", TRefusal::TooLarge, "silence", kMax},
      {"s:1", "s:100", TRefusal::None, "", 0},
      {"s:9223372036854775800", "s:9223372036854775800", TRefusal::None, "", 0},
      {"s:0", "", TRefusal::NotAboveZero, "duration", 0},
      {"s:9223372036854775801", "", TRefusal::TooLarge, "duration", 9223372036854775801},
      {"r:499:1000", "r:500:1000", TRefusal::None, "", 0},
      {"r:1000:401", "r:1000:500", TRefusal::None, "", 0},
      {"r:400:1000", "", TRefusal::BelowMinimum, "duration", 400},
      {"r:1000:400", "", TRefusal::BelowMinimum, "interval", 400},
      {"r:-3000:-1000", "", TRefusal::BelowMinimum, "duration", -3000},
      {"r:3000:" + std::to_string(kMax - 1), "", TRefusal::TooLarge, "interval", kMax - 1},
      {"p:0 s:500 end", "", TRefusal::ZeroCount, "count", 0},
      {"p:-2 s:500 end", "p:-2 s:500 end", TRefusal::None, "", 0},
      {"p:3 r:1000:500 end", "p:3 r:1000:500 end", TRefusal::None, "", 0},
  };
  for (const Case& c : cases) {
    TProgramCompilerBytecode program;
    Build(program, c.items);
    EXPECT_EQ(TDescriber::Of(program), c.stored) << c.items;
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

TEST(TProgramCompiler, StoresValuesUnchangedAndCompilesToNothing) {
  TProgramCompiler program;
  Build<TProgramCompiler>(program, "s:-7 r:3:0 i:9:0:1 p:0 end");
  EXPECT_TRUE(program.AddPackage(nullptr, 0));
  EXPECT_EQ(TDescriber::Of(program), "s:-7 r:3:0 i:9:0:1 p:0 end p:0 end");
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
}

TEST(TProgramItem, AssignCopiesOnlyItemsOfItsOwnKind) {
  TProgramImpulse impulse, impulseCopy;
  impulse.Duration = 300;
  impulse.Phase = 3;
  impulse.Silence = 7000;
  TProgramSilence silence, silenceCopy;
  silence.Duration = 900;
  TProgramReading reading, readingCopy;
  reading.Duration = 3000;
  reading.Interval = 1000;
  TProgramPackage package, packageCopy;
  package.Count = 4;
  package.Program().AddSilence(500);

  const TProgramItem* sources[] = {&impulse, &silence, &reading, &package, nullptr};
  TProgramItem* targets[] = {&impulseCopy, &silenceCopy, &readingCopy, &packageCopy};
  for (size_t t = 0; t < std::size(targets); ++t)
    for (size_t s = 0; s < std::size(sources); ++s)
      EXPECT_EQ(targets[t]->Assign(sources[s]), s == t) << t << " from " << s;
  EXPECT_EQ(impulseCopy.Duration, 300);
  EXPECT_EQ(impulseCopy.Phase, 3);
  EXPECT_EQ(impulseCopy.Silence, 7000);
  EXPECT_EQ(silenceCopy.Duration, 900);
  EXPECT_EQ(readingCopy.Interval, 1000);
  EXPECT_EQ(packageCopy.Count, 4);
  EXPECT_EQ(TDescriber::Of(packageCopy.Program()), "s:500");
}

TEST(TProgramCompiler, AssignCopiesDeeplyAlsoFromItselfOrFromInside) {
  TProgramCompilerBytecode source, copy;
  Build(source, "s:100 p:2 r:1000:500 end");
  Build(copy, "s:999");
  ASSERT_TRUE(copy.Assign(&source));
  // Changing the source afterwards leaves the copy as it was.
  source.Items(1).SubProgram()->Clear();
  source.AddSilence(5000);
  EXPECT_EQ(TDescriber::Of(copy), "s:100 p:2 r:1000:500 end");

  EXPECT_TRUE(copy.Assign(&copy));
  EXPECT_EQ(TDescriber::Of(copy), "s:100 p:2 r:1000:500 end");
  // A package of the program itself, then the program replaced by that package's content.
  EXPECT_TRUE(copy.AddPackage(&copy, 4));
  EXPECT_EQ(TDescriber::Of(copy), "s:100 p:2 r:1000:500 end p:4 s:100 p:2 r:1000:500 end end");
  EXPECT_TRUE(copy.Assign(copy.Items(2).SubProgram()));
  EXPECT_EQ(TDescriber::Of(copy), "s:100 p:2 r:1000:500 end");
  // A package assigned from a package inside it.
  TProgramPackage outer;
  Build(outer.Program(), "p:3 p:5 s:700 end end");
  EXPECT_TRUE(outer.Assign(&outer.Program().Items(0)));
  EXPECT_EQ(outer.Count, 3);
  EXPECT_EQ(TDescriber::Of(outer.Program()), "p:5 s:700 end");

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
  EXPECT_EQ(copy.Count(), 0);
}

TEST(TProgramMarkers, GrowsFromSixtyFourByDoubling) {
  TProgramMarkers markers;
  EXPECT_EQ(markers.Capacity(), 0);
  markers.Advance(250);
  markers.AddMark();
  EXPECT_EQ(markers.Capacity(), 64);
  for (int i = 1; i < 64; ++i) markers.AddMark();
  EXPECT_EQ(markers.Capacity(), 64);
  markers.Advance(-50);
  markers.AddMark();
  EXPECT_EQ(markers.Capacity(), 128);
  EXPECT_EQ(markers.Count(), 65);
  EXPECT_EQ(markers.Mark(63), 250);
  EXPECT_EQ(markers.Mark(64), 200);
  {
    quellar::test::ReportCapture capture;
    EXPECT_THROW(markers.Mark(65), EListError);
    EXPECT_THROW(markers.Mark(-1), EListError);
  }
  markers.Clear();
  EXPECT_EQ(markers.Count(), 0);
  EXPECT_EQ(markers.Capacity(), 0);
  EXPECT_EQ(markers.Time(), 0);
}

}  // namespace
}  // namespace quellar::program
