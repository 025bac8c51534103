// The analyzer's own reading of program code against the library's compiler and disassembler.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "SimTestUtil.h"
#include "program/DrvDisassembler.h"
#include "sim/SimProgram.h"

namespace quellar::test {
namespace {

using program::TProgramCompilerBytecode;
using sim::TSimProgram;

void AddRandomItems(std::mt19937_64& random, TProgramCompilerBytecode& p, int depth) {
  const auto pick = [&](int64_t lo, int64_t hi) {
    return std::uniform_int_distribution<int64_t>(lo, hi)(random);
  };
  for (int64_t n = pick(1, 6); n > 0; --n) {
    const int64_t kind = pick(0, depth > 0 ? 2 : 3);
    if (kind == 0) p.AddImpulse(static_cast<uint8_t>(pick(0, 3)), pick(1, 30000), pick(0, 20000));
    if (kind == 1) p.AddSilence(pick(1, 2000000));
    if (kind == 2) p.AddReading(pick(400, 300000), pick(400, 5000));
    if (kind == 3) {
      TProgramCompilerBytecode body;
      AddRandomItems(random, body, depth + 1);
      p.AddPackage(&body, static_cast<int32_t>(pick(1, 3)));
    }
  }
}

// Strobes fall on the compiler's time marks, the running time is the compiler's and the
// impulses are where the disassembler puts them, for seeded random programs.
TEST(TSimProgram, SamplesAtTheCompilersTimeMarks) {
  std::mt19937_64 random(20240611);
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(round);
    TProgramCompilerBytecode p;
    AddRandomItems(random, p, 0);
    std::vector<uint8_t> code;
    if (!p.Compile(&code, round % 5 == 0)) continue;
    TSimProgram decoded;
    ASSERT_TRUE(decoded.Decode(code.data(), code.size())) << decoded.Error();
    EXPECT_EQ(decoded.Duration(), static_cast<int64_t>(p.Markers().Time()));
    ASSERT_EQ(decoded.Strobes().size(), static_cast<size_t>(p.Markers().Count()));
    for (int32_t i = 0; i < p.Markers().Count(); ++i)
      ASSERT_EQ(decoded.Strobes()[i], static_cast<int64_t>(p.Markers().Mark(i))) << i;
    std::vector<program::CodePeriod> impulses;
    for (const auto& period : program::Disassemble(code).periods)
      if (period.kind == program::PeriodKind::Impulse) impulses.push_back(period);
    ASSERT_EQ(decoded.Impulses().size(), impulses.size());
    for (size_t i = 0; i < impulses.size(); ++i) {
      EXPECT_EQ(decoded.Impulses()[i].Start, impulses[i].start);
      EXPECT_EQ(decoded.Impulses()[i].Duration, impulses[i].length);
      EXPECT_EQ(decoded.Impulses()[i].Phase, impulses[i].phase);
    }
  }
}

TEST(TSimProgram, RefusesCodeTheAnalyzerCannotRun) {
  std::vector<uint8_t> tooLong(32768, 0xF8);
  tooLong.back() = 0xFF;
  const struct {
    std::vector<uint8_t> code;
    const char* error;
    size_t offset;
  } cases[] = {
      {{}, "empty program", 0},
      {{0xF8, 0xF9}, "no end mark", 1},
      {{0xF8, 0x7F, 0xFF}, "delay class 7 before the end mark", 1},
      {{0xFF, 0xFF}, "delay class 7 before the end mark", 0},
      {tooLong, "longer than 32767 bytes", 32767},
      {{0xF8, 0xE0, 0xFF}, "radio frequency outside the impulse window", 1},
      {{0x78, 0x68, 0xFF}, "sample inside the impulse window", 1},
  };
  for (const auto& c : cases) {
    TSimProgram p;
    EXPECT_FALSE(p.Decode(c.code.data(), c.code.size()));
    EXPECT_EQ(p.Error(), c.error);
    EXPECT_EQ(p.ErrorOffset(), c.offset);
    EXPECT_TRUE(p.Strobes().empty());
  }
}

}  // namespace
}  // namespace quellar::test
