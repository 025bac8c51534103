#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "errors/Asserts.h"
#include "program/DrvCompiler.h"
#include "program/DrvCompilerBytecode.h"
#include "support/TestSupport.h"

namespace quellar::program {
namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

TEST(RoundUpToStep, RoundsPositiveValuesUpAndLeavesTheRest) {
  struct Case {
    int64_t value, step, expected;
  };
  const Case cases[] = {
      {2501, 100, 2600},
      {2500, 100, 2500},
      {1, 100, 100},
      {99, 100, 100},
      {-50, 100, -50},
      {0, 100, 0},
      {kMin, 100, kMin},
      {7, 0, 7},
      {7, -5, 7},
      {9223372036854775800, 100, 9223372036854775800},
      // Above 2^53 a double quotient loses the remainder; the result must still be a step.
      {9007199254740993, 100, 9007199254741000},
      {1500000000000000001, 100, 1500000000000000100},
  };
  for (const Case& c : cases)
    EXPECT_EQ(RoundUpToStep(c.value, c.step), c.expected) << c.value << " / " << c.step;
}

TEST(RoundUpToStep, RefusesValuesWhoseRoundingOverflows) {
  int64_t result = 17;
  EXPECT_FALSE(TryRoundUpToStep(9223372036854775801, 100, result));
  EXPECT_FALSE(TryRoundUpToStep(kMax, 100, result));
  EXPECT_EQ(result, 17);
  test::ReportCapture capture;
  EXPECT_THROW(RoundUpToStep(kMax, 100), EQuellarError);
  EXPECT_EQ(capture.Count(), 1u);
}

// Fields of the single item a bytecode program holds after one add, or nothing.
struct Stored {
  bool added;
  int64_t a, b;
};

Stored StoredImpulse(int64_t duration, int64_t silence) {
  TProgramCompilerBytecode program;
  const bool added = program.AddImpulse(2, duration, silence);
  EXPECT_EQ(program.Count(), added ? 1 : 0);
  if (!added) return {false, 0, 0};
  const auto& item = dynamic_cast<const TProgramImpulse&>(program.Items(0));
  EXPECT_EQ(item.Phase, 2);
  return {true, item.Duration, item.Silence};
}

Stored StoredSilence(int64_t duration) {
  TProgramCompilerBytecode program;
  const bool added = program.AddSilence(duration);
  EXPECT_EQ(program.Count(), added ? 1 : 0);
  if (!added) return {false, 0, 0};
  return {true, dynamic_cast<const TProgramSilence&>(program.Items(0)).Duration, 0};
}

Stored StoredReading(int64_t duration, int64_t interval) {
  TProgramCompilerBytecode program;
  const bool added = program.AddReading(duration, interval);
  EXPECT_EQ(program.Count(), added ? 1 : 0);
  if (!added) return {false, 0, 0};
  const auto& item = dynamic_cast<const TProgramReading&>(program.Items(0));
  return {true, item.Duration, item.Interval};
}

void ExpectStored(const Stored& got, const Stored& want, const char* what) {
  EXPECT_EQ(got.added, want.added) << what;
  if (got.added && want.added) {
    EXPECT_EQ(got.a, want.a) << what;
    EXPECT_EQ(got.b, want.b) << what;
  }
}

TEST(TProgramCompilerBytecode, AdmitsImpulsesRoundedUpAndRefusesEmptyOnes) {
  ExpectStored(StoredImpulse(1, 0), {true, 100, 0}, "1/0: silence is not raised");
  ExpectStored(StoredImpulse(2450, 999), {true, 2500, 1000}, "both rounded");
  ExpectStored(StoredImpulse(0, 5000), {false, 0, 0}, "zero duration");
  ExpectStored(StoredImpulse(-100, 5000), {false, 0, 0}, "negative duration");
  ExpectStored(StoredImpulse(100, -250), {true, 100, -250}, "negative silence kept");
  ExpectStored(StoredImpulse(kMax, 1000), {false, 0, 0}, "duration overflows");
  ExpectStored(StoredImpulse(100, kMax), {false, 0, 0}, "silence overflows");
}

TEST(TProgramCompilerBytecode, AdmitsSilencesAboveZero) {
  ExpectStored(StoredSilence(1), {true, 100, 0}, "1");
  ExpectStored(StoredSilence(1300), {true, 1300, 0}, "1300");
  ExpectStored(StoredSilence(0), {false, 0, 0}, "0");
  ExpectStored(StoredSilence(-100), {false, 0, 0}, "-100");
  ExpectStored(StoredSilence(9223372036854775800), {true, 9223372036854775800, 0}, "largest");
  ExpectStored(StoredSilence(9223372036854775801), {false, 0, 0}, "overflows");
}

TEST(TProgramCompilerBytecode, AdmitsReadingsOfAtLeast500) {
  ExpectStored(StoredReading(499, 1000), {true, 500, 1000}, "window rounds to 500");
  ExpectStored(StoredReading(400, 1000), {false, 0, 0}, "window under 500");
  ExpectStored(StoredReading(1000, 401), {true, 1000, 500}, "interval rounds to 500");
  ExpectStored(StoredReading(1000, 400), {false, 0, 0}, "interval under 500");
  ExpectStored(StoredReading(-3000, -1000), {false, 0, 0}, "negative");
  ExpectStored(StoredReading(kMax, 1000), {false, 0, 0}, "window overflows");
  ExpectStored(StoredReading(3000, kMax - 1), {false, 0, 0}, "interval overflows");
}

TEST(TProgramCompilerBytecode, AdmitsPackagesWithSourceAndNonZeroCount) {
  TProgramCompilerBytecode source;
  source.AddSilence(500);
  TProgramCompilerBytecode program;
  EXPECT_FALSE(program.AddPackage(&source, 0));
  EXPECT_FALSE(program.AddPackage(nullptr, 3));
  EXPECT_EQ(program.Count(), 0);
  EXPECT_TRUE(program.AddPackage(&source, -2));
  EXPECT_TRUE(program.AddPackage(&source, 3));
  ASSERT_EQ(program.Count(), 2);
  const auto& package = dynamic_cast<const TProgramPackage&>(program.Items(1));
  EXPECT_EQ(package.Count, 3);
  ASSERT_EQ(package.Program().Count(), 1);
  EXPECT_EQ(dynamic_cast<const TProgramSilence&>(package.Program().Items(0)).Duration, 500);
  EXPECT_EQ(dynamic_cast<const TProgramPackage&>(program.Items(0)).Count, -2);
}

TEST(TProgramCompiler, StoresValuesUnchangedAndCompilesToNothing) {
  TProgramCompiler program;
  EXPECT_TRUE(program.AddSilence(-7));
  EXPECT_TRUE(program.AddReading(3, 0));
  EXPECT_TRUE(program.AddImpulse(9, 0, 1));
  EXPECT_TRUE(program.AddPackage(nullptr, 0));
  ASSERT_EQ(program.Count(), 4);
  EXPECT_EQ(dynamic_cast<const TProgramSilence&>(program.Items(0)).Duration, -7);
  EXPECT_EQ(dynamic_cast<const TProgramReading&>(program.Items(1)).Interval, 0);
  EXPECT_EQ(dynamic_cast<const TProgramImpulse&>(program.Items(2)).Phase, 9);
  EXPECT_EQ(dynamic_cast<const TProgramPackage&>(program.Items(3)).Program().Count(), 0);
  std::vector<uint8_t> stream{1, 2};
  EXPECT_FALSE(program.Compile(&stream, true));
  EXPECT_TRUE(program.Idle());
  EXPECT_EQ(stream, (std::vector<uint8_t>{1, 2}));
}

TEST(TProgramCompiler, ItemsOutsideTheListRaiseAListError) {
  TProgramCompilerBytecode program;
  program.AddSilence(100);
  test::ReportCapture capture;
  EXPECT_THROW(program.Items(1), EListError);
  EXPECT_THROW(program.Items(-1), EListError);
  const TProgramCompiler& constant = program;
  EXPECT_THROW(constant.Items(5), EListError);
  EXPECT_NO_THROW(program.Items(0));
  EXPECT_EQ(capture.Count(), 3u);
}

TEST(TProgramItem, AssignCopiesOnlyItemsOfItsOwnKind) {
  TProgramImpulse impulse;
  impulse.Duration = 300;
  impulse.Phase = 3;
  impulse.Silence = 7000;
  TProgramImpulse copy;
  EXPECT_TRUE(copy.Assign(&impulse));
  EXPECT_EQ(copy.Duration, 300);
  EXPECT_EQ(copy.Phase, 3);
  EXPECT_EQ(copy.Silence, 7000);

  TProgramSilence silence;
  silence.Duration = 900;
  EXPECT_FALSE(copy.Assign(&silence));
  EXPECT_FALSE(copy.Assign(nullptr));
  EXPECT_EQ(copy.Duration, 300);

  TProgramReading reading;
  EXPECT_FALSE(reading.Assign(&silence));
  reading.Duration = 3000;
  reading.Interval = 1000;
  TProgramReading readingCopy;
  EXPECT_TRUE(readingCopy.Assign(&reading));
  EXPECT_EQ(readingCopy.Interval, 1000);
  TProgramSilence silenceCopy;
  EXPECT_TRUE(silenceCopy.Assign(&silence));
  EXPECT_EQ(silenceCopy.Duration, 900);
}

TEST(TProgramCompiler, AssignCopiesPackagesDeeply) {
  TProgramCompilerBytecode inner;
  inner.AddReading(1000, 500);
  TProgramCompilerBytecode source;
  source.AddSilence(100);
  source.AddPackage(&inner, 2);
  TProgramCompilerBytecode copy;
  copy.AddSilence(999);
  ASSERT_TRUE(copy.Assign(&source));

  // Changing the source afterwards leaves the copy as it was.
  auto& sourcePackage = dynamic_cast<TProgramPackage&>(source.Items(1));
  sourcePackage.Count = 9;
  sourcePackage.Program().Clear();
  source.AddSilence(5000);

  ASSERT_EQ(copy.Count(), 2);
  EXPECT_EQ(dynamic_cast<const TProgramSilence&>(copy.Items(0)).Duration, 100);
  const auto& package = dynamic_cast<const TProgramPackage&>(copy.Items(1));
  EXPECT_EQ(package.Count, 2);
  ASSERT_EQ(package.Program().Count(), 1);
  EXPECT_EQ(dynamic_cast<const TProgramReading&>(package.Program().Items(0)).Duration, 1000);

  EXPECT_FALSE(copy.Assign(nullptr));
  EXPECT_EQ(copy.Count(), 0);
}

TEST(TProgramCompiler, AssignFromItselfOrFromInsideKeepsTheItems) {
  TProgramCompilerBytecode program;
  program.AddSilence(100);
  program.AddSilence(200);
  EXPECT_TRUE(program.Assign(&program));
  ASSERT_EQ(program.Count(), 2);
  EXPECT_EQ(dynamic_cast<const TProgramSilence&>(program.Items(1)).Duration, 200);

  // A package of the program itself, then the program replaced by that package's content.
  EXPECT_TRUE(program.AddPackage(&program, 4));
  ASSERT_EQ(program.Count(), 3);
  auto& package = dynamic_cast<TProgramPackage&>(program.Items(2));
  EXPECT_EQ(package.Program().Count(), 2);
  EXPECT_TRUE(program.Assign(&package.Program()));
  ASSERT_EQ(program.Count(), 2);
  EXPECT_EQ(dynamic_cast<const TProgramSilence&>(program.Items(0)).Duration, 100);

  // A package assigned from a package inside it.
  TProgramCompilerBytecode leaf;
  leaf.AddSilence(700);
  TProgramCompilerBytecode middle;
  middle.AddPackage(&leaf, 5);
  TProgramPackage outer;
  outer.Program().AddPackage(&middle, 3);
  auto& nested = dynamic_cast<TProgramPackage&>(outer.Program().Items(0));
  EXPECT_TRUE(outer.Assign(&nested));
  EXPECT_EQ(outer.Count, 3);
  ASSERT_EQ(outer.Program().Count(), 1);
  EXPECT_EQ(dynamic_cast<const TProgramPackage&>(outer.Program().Items(0)).Count, 5);
}

TEST(TProgramCompiler, DeepNestingCopiesAndDestroysWithoutRecursion) {
  constexpr int kDepth = 100000;
  auto program = std::make_unique<TProgramCompilerBytecode>();
  TProgramCompiler empty;
  TProgramCompiler* level = program.get();
  for (int i = 0; i < kDepth; ++i) {
    level->AddPackage(&empty, 1);
    level = &dynamic_cast<TProgramPackage&>(level->Items(0)).Program();
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
    test::ReportCapture capture;
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
