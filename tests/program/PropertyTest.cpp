#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>
#include <random>
#include <vector>

#include "ProgramTestSupport.h"
#include "program/DrvCompilerBytecode.h"
#include "program/DrvDisassembler.h"

namespace quellar::program {
namespace {

using test::CompileProgram;

// Random items through the admission rules, packages nested up to three deep.
void Fill(TProgramCompiler& program, std::mt19937_64& rng, int depth) {
  auto pick = [&](int64_t low, int64_t high) {
    return std::uniform_int_distribution<int64_t>(low, high)(rng);
  };
  const int64_t items = pick(0, 6);
  for (int64_t i = 0; i < items; ++i) {
    const int64_t kind = pick(0, 9);
    if (kind <= 2) {
      program.AddImpulse(static_cast<uint8_t>(pick(0, 4)), pick(-200, 20000), pick(-2000, 20000));
    } else if (kind <= 4) {
      program.AddSilence(pick(0, 1) ? pick(-100, 20000) : pick(1, 3000000000));
    } else if (kind <= 7) {
      program.AddReading(pick(300, 20000), pick(300, 3000));
    } else if (depth < 3) {
      TProgramCompilerBytecode body;
      Fill(body, rng, depth + 1);
      program.AddPackage(&body, static_cast<int32_t>(pick(-2, 4)));
    }
  }
}

// Impulses the program plays and their total length, counted from the items themselves.
struct Played {
  int64_t impulses = 0;
  int64_t impulseTime = 0;
};

Played Count(const TProgramCompiler& program) {
  Played played;
  for (int64_t i = 0; i < program.Count(); ++i) {
    if (const auto* impulse = dynamic_cast<const TProgramImpulse*>(&program.Items(i))) {
      ++played.impulses;
      played.impulseTime += impulse->Duration;
    } else if (const auto* package = dynamic_cast<const TProgramPackage*>(&program.Items(i))) {
      const Played inner = Count(package->Program());
      const int64_t times = std::max(package->Count, 0);
      played.impulses += times * inner.impulses;
      played.impulseTime += times * inner.impulseTime;
    }
  }
  return played;
}

TEST(TProgramCompilerBytecode, MarksAndRunningTimeAgreeWithTheDecodedCode) {
  std::mt19937_64 rng(20261206);
  int compiled = 0;
  for (int round = 0; round < 3000; ++round) {
    TProgramCompilerBytecode program;
    Fill(program, rng, 0);
    const auto normal = CompileProgram(program, false);
    const auto idle = CompileProgram(program, true);
    EXPECT_TRUE(!normal.ok || idle.ok) << round;  // the idle form is never longer
    for (const auto* result : {&normal, &idle}) {
      if (!result->ok) {
        EXPECT_TRUE(result->code.empty()) << round;
        continue;
      }
      const CodeListing listing = Disassemble(result->code);
      ASSERT_TRUE(listing.valid) << round << ": " << listing.error;
      ASSERT_EQ(listing.strobes.size(), result->marks.size()) << round;
      for (size_t i = 0; i < listing.strobes.size(); ++i)
        EXPECT_EQ(static_cast<double>(listing.strobes[i]), result->marks[i]) << round << " #" << i;
      EXPECT_EQ(static_cast<double>(listing.duration), result->time) << round;
    }
    if (normal.ok) {
      Played decoded;
      for (const CodePeriod& period : Disassemble(normal.code).periods) {
        if (period.kind != PeriodKind::Impulse) continue;
        ++decoded.impulses;
        decoded.impulseTime += period.length;
      }
      const Played expected = Count(program);
      EXPECT_EQ(decoded.impulses, expected.impulses) << round;
      EXPECT_EQ(decoded.impulseTime, expected.impulseTime) << round;
    }
    if (normal.ok && idle.ok) {
      ++compiled;
      EXPECT_EQ(idle.marks, normal.marks) << round;
      EXPECT_EQ(idle.time, normal.time) << round;
      for (const CodePeriod& period : Disassemble(idle.code).periods)
        EXPECT_TRUE(period.kind == PeriodKind::Strobe || period.kind == PeriodKind::Silence)
            << round;
    }
  }
  EXPECT_GT(compiled, 2500);
}

// Unchecked values of every size, reached through packages of plain programs: compilation
// must finish with a well-formed answer (the sanitizer build checks for overflow).
void FillRaw(TProgramCompiler& program, std::mt19937_64& rng, int depth) {
  const int64_t edges[] = {
      std::numeric_limits<int64_t>::min(), -4000, -1, 0, 1, 99, 100, 499, 700, 4000, 500000000,
      std::numeric_limits<int64_t>::max()};
  auto value = [&]() -> int64_t {
    if (rng() % 3 == 0) return static_cast<int64_t>(rng());
    return edges[rng() % std::size(edges)];
  };
  const int items = static_cast<int>(rng() % 5);
  for (int i = 0; i < items; ++i) {
    switch (rng() % 4) {
      case 0:
        program.AddImpulse(static_cast<uint8_t>(rng()), value(), value());
        break;
      case 1:
        program.AddSilence(value());
        break;
      case 2:
        program.AddReading(value(), value());
        break;
      default:
        if (depth < 3) {
          TProgramCompiler body;
          FillRaw(body, rng, depth + 1);
          const int32_t counts[] = {std::numeric_limits<int32_t>::min(), -1, 0, 1, 3,
                                    std::numeric_limits<int32_t>::max()};
          program.AddPackage(&body, counts[rng() % std::size(counts)]);
        }
    }
  }
}

TEST(TProgramCompilerBytecode, UncheckedValuesGiveWellFormedAnswers) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 1000; ++round) {
    TProgramCompiler raw;
    FillRaw(raw, rng, 0);
    TProgramCompilerBytecode program;
    program.AddPackage(&raw, 1 + static_cast<int32_t>(rng() % 3));
    for (const bool idle : {false, true}) {
      std::vector<uint8_t> code{0x55};
      if (program.Compile(&code, idle)) {
        ASSERT_GE(code.size(), 2u) << round;
        EXPECT_LE(code.size(), 1 + kMaxCodeSize) << round;
        EXPECT_EQ(code.back(), 0xFF) << round;
        EXPECT_EQ(std::count(code.begin() + 1, code.end(), 0xFF), 1) << round;
      } else {
        EXPECT_EQ(code, std::vector<uint8_t>{0x55}) << round;
      }
    }
  }
}

}  // namespace
}  // namespace quellar::program
