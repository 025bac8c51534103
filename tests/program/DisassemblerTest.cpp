#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ProgramTestSupport.h"
#include "program/DrvDisassembler.h"

namespace quellar::program {
namespace {

using test::Hex;

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
