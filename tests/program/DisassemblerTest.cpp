#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ProgramTestSupport.h"
#include "program/DrvDisassembler.h"

namespace quellar::program {
namespace {

using test::Hex;

struct Expected {
  PeriodKind kind;
  int phase;
  size_t offset, bytes;
  int64_t start, length;
};

void ExpectPeriods(const CodeListing& listing, const std::vector<Expected>& expected) {
  ASSERT_EQ(listing.periods.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const CodePeriod& got = listing.periods[i];
    const Expected& want = expected[i];
    EXPECT_EQ(got.kind, want.kind) << i;
    if (want.kind == PeriodKind::Impulse || want.kind == PeriodKind::LeadIn) {
      EXPECT_EQ(PhaseDegrees(got.phase), want.phase) << i;
    }
    EXPECT_EQ(got.offset, want.offset) << i;
    EXPECT_EQ(got.bytes, want.bytes) << i;
    EXPECT_EQ(got.start, want.start) << i;
    EXPECT_EQ(got.length, want.length) << i;
  }
}

TEST(Disassemble, ReadsTheWorkedExampleAsATimeline) {
  const CodeListing listing =
      Disassemble(Hex("38 31 31 31 31 31 79 79 79 79 79 79 79 79 F9 F9 F9 F9 F9 F9 F9 F9 "
                      "E9 F9 E9 F9 E9 F9 F9 F9 F8 F8 F8 FF"));
  ASSERT_TRUE(listing.valid) << listing.error;
  using K = PeriodKind;
  ExpectPeriods(listing, {{K::LeadIn, 90, 0, 1, 0, 100},
                          {K::Impulse, 90, 1, 5, 100, 2500},
                          {K::Tail, 0, 6, 8, 2600, 4000},
                          {K::Silence, 0, 14, 8, 6600, 4000},
                          {K::Strobe, 0, 22, 1, 10600, 500},
                          {K::Silence, 0, 23, 1, 11100, 500},
                          {K::Strobe, 0, 24, 1, 11600, 500},
                          {K::Silence, 0, 25, 1, 12100, 500},
                          {K::Strobe, 0, 26, 1, 12600, 500},
                          {K::Silence, 0, 27, 6, 13100, 1800}});
  EXPECT_EQ(listing.strobes, (std::vector<int64_t>{10600, 11600, 12600}));
  EXPECT_EQ(listing.duration, 14900);
}

TEST(Disassemble, SplitsATailFromTheNextLeadIn) {
  const CodeListing listing =
      Disassemble(Hex("18 10 79 79 79 79 79 79 79 79 58 50 79 79 79 79 79 79 79 79 FF"));
  ASSERT_TRUE(listing.valid);
  using K = PeriodKind;
  ExpectPeriods(listing, {{K::LeadIn, 0, 0, 1, 0, 100},
                          {K::Impulse, 0, 1, 1, 100, 100},
                          {K::Tail, 0, 2, 8, 200, 4000},
                          {K::LeadIn, 180, 10, 1, 4200, 100},
                          {K::Impulse, 180, 11, 1, 4300, 100},
                          {K::Tail, 0, 12, 8, 4400, 4000}});
  EXPECT_EQ(listing.duration, 8400);
}

TEST(Disassemble, ReportsInvalidCodeWithItsOffset) {
  struct Case {
    const char* name;
    std::vector<uint8_t> code;
    size_t offset;
    std::string error;
    size_t periods;
  };
  std::vector<uint8_t> tooLong(32768, 0xF8);
  tooLong.back() = 0xFF;
  const Case cases[] = {
      {"empty", {}, 0, "no end mark", 0},
      {"too long", tooLong, 32767, "longer than 32767 bytes", 1},
      {"no end mark", Hex("F9 F8"), 2, "no end mark", 1},
      {"data after the end mark", Hex("F9 FF F8"), 2, "data after the end mark", 1},
      {"class 7", Hex("F9 F9 0F FF"), 2, "delay class 7 outside the end mark", 1},
      {"impulse outside its window", Hex("E0 FF"), 0, "impulse outside its window", 0},
      {"strobe in a window", Hex("F8 68 FF"), 1, "strobe inside an impulse window", 1},
  };
  for (const Case& c : cases) {
    const CodeListing listing = Disassemble(c.code);
    EXPECT_FALSE(listing.valid) << c.name;
    EXPECT_EQ(listing.errorOffset, c.offset) << c.name;
    EXPECT_EQ(listing.error, c.error) << c.name;
    EXPECT_EQ(listing.periods.size(), c.periods) << c.name;
  }
}

}  // namespace
}  // namespace quellar::program
