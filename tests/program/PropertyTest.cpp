#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "ProgramTestSupport.h"
#include "program/DrvCompilerBytecode.h"
#include "program/DrvDisassembler.h"

namespace quellar::program {
namespace {

using test::CompileProgram;

// Random items, packages nested up to three deep. Raw items take values of every size, edges
// most often, and are stored unchecked by plain programs.
void Fill(TProgramCompiler& program, std::mt19937_64& rng, int depth, bool raw) {
  const int64_t edges[] = {INT64_MIN, INT32_MIN, -4000, -1,   0,         1,         3,        99,
                           100,       499,       700,   4000, 500000000, INT32_MAX, INT64_MAX};
  auto pick = [&](int64_t low, int64_t high) {
    if (!raw) return std::uniform_int_distribution<int64_t>(low, high)(rng);
    return rng() % 3 ? edges[rng() % std::size(edges)] : static_cast<int64_t>(rng());
  };
  for (int64_t i = std::uniform_int_distribution<int64_t>(0, 6)(rng); i > 0; --i) {
    const int64_t kind = std::uniform_int_distribution<int64_t>(0, 9)(rng);
    if (kind <= 2) {
      program.AddImpulse(static_cast<uint8_t>(pick(0, 4)), pick(-200, 20000), pick(-2000, 20000));
    } else if (kind <= 4) {
      program.AddSilence(rng() % 2 ? pick(-100, 20000) : pick(1, 3000000000));
    } else if (kind <= 7) {
      program.AddReading(pick(300, 20000), pick(300, 3000));
    } else if (depth < 3) {
      std::unique_ptr<TProgramCompiler> body =
          raw ? std::make_unique<TProgramCompiler>() : std::make_unique<TProgramCompilerBytecode>();
      Fill(*body, rng, depth + 1, raw);
      program.AddPackage(body.get(), static_cast<int32_t>(pick(-2, 4)));
    }
  }
}

// Impulses the program plays and their total length, counted from the items themselves.
std::pair<int64_t, int64_t> Impulses(const TProgramCompiler& program) {
  std::pair<int64_t, int64_t> played;
  for (int64_t i = 0; i < program.Count(); ++i) {
    if (const auto* impulse = dynamic_cast<const TProgramImpulse*>(&program.Items(i))) {
      played.first += 1;
      played.second += impulse->Duration;
    } else if (const auto* package = dynamic_cast<const TProgramPackage*>(&program.Items(i))) {
      const auto inner = Impulses(package->Program());
      played.first += std::max(package->Count, 0) * inner.first;
      played.second += std::max(package->Count, 0) * inner.second;
    }
  }
  return played;
}

TEST(TProgramCompilerBytecode, MarksAndRunningTimeAgreeWithTheDecodedCode) {
  std::mt19937_64 rng(20261206);
  int compiled = 0;
  for (int round = 0; round < 3000; ++round) {
    SCOPED_TRACE(round);
    TProgramCompilerBytecode program;
    Fill(program, rng, 0, false);
    const auto normal = CompileProgram(program, false);
    const auto idle = CompileProgram(program, true);
    EXPECT_TRUE(!normal.ok || idle.ok);  // the idle form is never longer
    for (const auto* result : {&normal, &idle}) {
      EXPECT_TRUE(result->ok || result->code.empty());
      if (!result->ok) continue;
      const CodeListing listing = Disassemble(result->code);
      ASSERT_TRUE(listing.valid) << listing.error;
      EXPECT_EQ(std::vector<double>(listing.strobes.begin(), listing.strobes.end()), result->marks);
      EXPECT_EQ(static_cast<double>(listing.duration), result->time);
      std::pair<int64_t, int64_t> decoded;
      for (const CodePeriod& period : listing.periods) {
        const bool quiet = period.kind == PeriodKind::Strobe || period.kind == PeriodKind::Silence;
        EXPECT_TRUE(quiet || result == &normal);  // the idle form plays nothing
        if (period.kind == PeriodKind::Impulse)
          decoded = {decoded.first + 1, decoded.second + period.length};
      }
      if (result == &normal) {
        EXPECT_EQ(decoded, Impulses(program));
      }
    }
    if (normal.ok && idle.ok) {
      ++compiled;
      EXPECT_EQ(idle.marks, normal.marks);
      EXPECT_EQ(idle.time, normal.time);
    }
  }
  EXPECT_GT(compiled, 2500);
}

// Unchecked values reached through packages of plain programs: compilation must finish with a
// well-formed answer (the sanitizer build checks for overflow).
TEST(TProgramCompilerBytecode, UncheckedValuesGiveWellFormedAnswers) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 1000; ++round) {
    TProgramCompiler raw;
    Fill(raw, rng, 0, true);
    TProgramCompilerBytecode program;
    program.AddPackage(&raw, 1 + static_cast<int32_t>(rng() % 3));
    for (const bool idle : {false, true}) {
      std::vector<uint8_t> code{0x55};
      if (!program.Compile(&code, idle)) {
        EXPECT_EQ(code, std::vector<uint8_t>{0x55}) << round;
        continue;
      }
      ASSERT_GE(code.size(), 2u) << round;
      EXPECT_LE(code.size(), 1 + kMaxCodeSize) << round;
      EXPECT_EQ(std::count(code.begin() + 1, code.end(), 0xFF), 1) << round;
      EXPECT_EQ(code.back(), 0xFF) << round;
    }
  }
}

}  // namespace
}  // namespace quellar::program
