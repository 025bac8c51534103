// The analyzer's own reading of program code against the library's compiler.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "SimTestUtil.h"
#include "sim/SimProgram.h"

namespace quellar::test {
namespace {

using program::TProgramCompilerBytecode;
using sim::TSimProgram;

struct Expected {
  std::vector<int64_t> starts, durations;
  std::vector<uint8_t> phases;
};

// Adds random items to p and notes where each impulse must begin; time is the running time.
void AddRandomItems(std::mt19937_64& random, TProgramCompilerBytecode& p, int depth, int64_t& time,
                    Expected& expected) {
  const auto pick = [&](int64_t lo, int64_t hi) {
    return std::uniform_int_distribution<int64_t>(lo, hi)(random);
  };
  const auto up = [](int64_t v) { return (v + 99) / 100 * 100; };
  for (int64_t n = pick(1, 6); n > 0; --n) {
    switch (pick(0, depth > 0 ? 2 : 3)) {
      case 0: {
        const uint8_t phase = static_cast<uint8_t>(pick(0, 3));
        const int64_t d = pick(1, 30000), silence = pick(0, 20000);
        p.AddImpulse(phase, d, silence);
        expected.starts.push_back(time + 100);
        expected.durations.push_back(up(d));
        expected.phases.push_back(phase);
        time += 100 + up(d) + std::max<int64_t>(up(silence), 4000);
        break;
      }
      case 1: {
        const int64_t d = pick(1, 2000000);
        p.AddSilence(d);
        time += up(d);
        break;
      }
      case 2: {
        const int64_t d = pick(400, 300000);
        if (p.AddReading(d, pick(400, 5000))) time += up(d);
        break;
      }
      default: {
        TProgramCompilerBytecode body;
        Expected inner;
        int64_t length = 0;
        AddRandomItems(random, body, depth + 1, length, inner);
        const int32_t count = static_cast<int32_t>(pick(1, 3));
        p.AddPackage(&body, count);
        for (int32_t r = 0; r < count; ++r, time += length) {
          for (size_t i = 0; i < inner.starts.size(); ++i) {
            expected.starts.push_back(time + inner.starts[i]);
            expected.durations.push_back(inner.durations[i]);
            expected.phases.push_back(inner.phases[i]);
          }
        }
        break;
      }
    }
  }
}

// Strobes fall on the compiler's time marks and the running time is the compiler's, for
// seeded random programs of impulses, silences, readings and packages.
TEST(TSimProgram, SamplesAtTheCompilersTimeMarks) {
  std::mt19937_64 random(20240611);
  for (int round = 0; round < 300; ++round) {
    TProgramCompilerBytecode p;
    Expected expected;
    int64_t time = 0;
    AddRandomItems(random, p, 0, time, expected);
    std::vector<uint8_t> code;
    if (!p.Compile(&code, round % 5 == 0)) continue;
    TSimProgram decoded;
    ASSERT_TRUE(decoded.Decode(code.data(), code.size())) << decoded.Error();
    EXPECT_EQ(decoded.Duration(), static_cast<int64_t>(p.Markers().Time()));
    ASSERT_EQ(decoded.Strobes().size(), static_cast<size_t>(p.Markers().Count()));
    for (int32_t i = 0; i < p.Markers().Count(); ++i) {
      ASSERT_EQ(decoded.Strobes()[i], static_cast<int64_t>(p.Markers().Mark(i))) << i;
    }
    if (round % 5 == 0) {
      EXPECT_TRUE(decoded.Impulses().empty());
      continue;
    }
    ASSERT_EQ(decoded.Impulses().size(), expected.starts.size());
    for (size_t i = 0; i < expected.starts.size(); ++i) {
      EXPECT_EQ(decoded.Impulses()[i].Start, expected.starts[i]);
      EXPECT_EQ(decoded.Impulses()[i].Duration, expected.durations[i]);
      EXPECT_EQ(decoded.Impulses()[i].Phase, expected.phases[i]);
    }
  }
}

TEST(TSimProgram, RefusesCodeTheAnalyzerCannotRun) {
  struct Case {
    std::vector<uint8_t> code;
    const char* error;
    size_t offset;
  };
  std::vector<uint8_t> tooLong(32768, 0xF8);
  tooLong.back() = 0xFF;
  const Case cases[] = {
      {{}, "empty program", 0},
      {{0xF8, 0xF9}, "no end mark", 1},
      {{0xF8, 0x7F, 0xFF}, "delay class 7 before the end mark", 1},
      {{0xFF, 0xFF}, "delay class 7 before the end mark", 0},
      {tooLong, "longer than 32767 bytes", 32767},
      {{0xF8, 0xE0, 0xFF}, "radio frequency outside the impulse window", 1},
      {{0x78, 0x68, 0xFF}, "sample inside the impulse window", 1},
  };
  for (const Case& c : cases) {
    TSimProgram p;
    EXPECT_FALSE(p.Decode(c.code.data(), c.code.size()));
    EXPECT_EQ(p.Error(), c.error);
    EXPECT_EQ(p.ErrorOffset(), c.offset);
    EXPECT_TRUE(p.Strobes().empty());
  }
}

}  // namespace
}  // namespace quellar::test
