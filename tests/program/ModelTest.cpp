#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "ProgramTestSupport.h"
#include "errors/Asserts.h"
#include "program/DrvCompilerBytecode.h"
#include "program/DrvConversions.h"
#include "support/TestSupport.h"

namespace quellar::program {
namespace {

using test::Build;
using test::Describe;

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

TEST(TryRoundUpToStep, RoundsPositiveValuesUpAndRefusesOverflow) {
  constexpr int64_t kRefused = 17, k53 = int64_t{1} << 53;
  // Above 2^53 a double quotient loses the remainder; the result must still be a step.
  const int64_t cases[][3] = {{2501, 100, 2600},
                              {2500, 100, 2500},
                              {1, 100, 100},
                              {-50, 100, -50},
                              {0, 100, 0},
                              {kMin, 100, kMin},
                              {7, 0, 7},
                              {7, -5, 7},
                              {k53 + 1, 100, k53 + 8},
                              {kMax - 7, 100, kMax - 7},
                              {kMax - 6, 100, kRefused},
                              {kMax, 100, kRefused}};
  for (const auto& [value, step, expected] : cases) {
    int64_t result = kRefused;
    EXPECT_EQ(TryRoundUpToStep(value, step, result), expected != kRefused) << value;
    EXPECT_EQ(result, expected) << value << " / " << step;
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

TEST(TProgramCompiler, StoresValuesUnchangedAndCompilesToNothing) {
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
}

TEST(TProgramItem, AssignCopiesOnlyItemsOfItsOwnKind) {
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
  // Changing the source afterwards leaves the copy as it was.
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
  // A package assigned from a package inside it.
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
  EXPECT_EQ(copy.Count(), 0);
}

TEST(TProgramMarkers, GrowsFromSixtyFourByDoublingAndChecksIndexes) {
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
  EXPECT_EQ(markers.Mark(63), 250);
  EXPECT_EQ(markers.Mark(64), 200);
  quellar::test::ReportCapture capture;
  EXPECT_THROW(markers.Mark(65), EListError);
  EXPECT_THROW(markers.Mark(-1), EListError);
  markers.Clear();
  EXPECT_EQ(markers.Count(), 0);
  EXPECT_EQ(markers.Capacity(), 0);
  EXPECT_EQ(markers.Time(), 0);
}

TEST(RoundHalfEven, RoundsHalvesToEvenAndRefusesValuesOutsideTheRange) {
  constexpr int64_t kOdd = (1LL << 52) + 1;  // odd, past where doubles hold fractions
  const std::pair<double, int64_t> cases[] = {
      {2.5, 2},  {3.5, 4},       {-2.5, -2},         {-3.5, -4},          {0.4, 0},
      {0.5, 0},  {1.5, 2},       {2450.5, 2450},     {2.4999999, 2},      {2.5000001, 3},
      {-0.4, 0}, {8000.0, 8000}, {kOdd + 0.0, kOdd}, {-0x1p63, INT64_MIN}};
  for (const auto& [value, expected] : cases) {
    int64_t result = 0;
    ASSERT_TRUE(RoundHalfEven(value, result)) << value;
    EXPECT_EQ(result, expected) << value;
  }
  for (const double value : {0x1p63, 1e300, -1e19, double{INFINITY}, double{NAN}}) {
    int64_t result = 5;
    EXPECT_FALSE(RoundHalfEven(value, result)) << value;
    EXPECT_EQ(result, 5);
  }
}

TEST(PhaseCodeFromDegrees, MapsTheFourPhasesAndEverythingElseToZero) {
  const std::pair<double, int> cases[] = {{0, 0},   {90, 1},  {180, 2}, {270, 3},        {45, 0},
                                          {360, 0}, {-90, 0}, {450, 0}, {90.0000001, 0}, {NAN, 0}};
  for (const auto& [degrees, code] : cases)
    EXPECT_EQ(PhaseCodeFromDegrees(degrees), code) << degrees;
}

}  // namespace
}  // namespace quellar::program
