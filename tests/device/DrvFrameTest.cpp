#include <gtest/gtest.h>

#include "DeviceTestUtil.h"
#include "device/DrvFrame.h"
#include "support/TestSupport.h"

namespace quellar::device {
namespace {

using test::Hex;
using test::ToHex;

TEST(TDriverFrame, SizeCommandAndWords) {
  TDriverFrame f;
  EXPECT_EQ(f.Command(), 255);
  EXPECT_EQ(f.Data(), nullptr);
  f.SetCommand(0x42);  // grows an empty frame
  EXPECT_EQ(f.Bytes(), Hex("42"));
  f.Resize(3);
  f.SetCommand(0x43);  // keeps the size of a non-empty frame
  f.SetWord(1, 0xABCD);
  EXPECT_EQ(f.Bytes(), Hex("43 AB CD"));
  EXPECT_EQ(f.Word(1), 0xABCD);
  EXPECT_EQ(Swap16(0x1234), 0x3412);
  f.Clear();
  EXPECT_EQ(f.Size(), 0);
  EXPECT_EQ(f.Data(), nullptr);

  const uint8_t src[] = {0x93, 1, 2, 3, 4};
  f.AssignCommand(src, 2);
  EXPECT_EQ(f.Bytes(), Hex("93 01 02"));
  f.Assign(src + 1, 4);
  EXPECT_EQ(f.Bytes(), Hex("01 02 03 04"));
  f.Assign(src, 0);
  EXPECT_EQ(f.Size(), 0);
}

TEST(TDriverFrame, OutOfRangeIsReportedAndRaised) {
  test::ReportCapture reports;
  TDriverFrame f{1, 2};
  EXPECT_THROW(f.Resize(-1), EListError);
  EXPECT_EQ(reports.Count(), 1u);
  EXPECT_THROW(f.AssignCommand(nullptr, -2), EListError);
  EXPECT_THROW(f.Word(1), EListError);
  EXPECT_THROW(f.SetWord(1, 0), EListError);
  EXPECT_EQ(reports.Count(), 4u);
  EXPECT_EQ(f.Bytes(), Hex("01 02"));
}

// Feeds wire bytes to a fresh decoder in the given pieces; the frames' contents in hex.
std::vector<std::string> Decode(const std::vector<std::string>& pieces) {
  TDriverFrameDecoder decoder;
  TDriverFrameList frames;
  for (const auto& p : pieces) {
    const auto bytes = Hex(p);
    decoder.Feed(bytes.data(), bytes.size(), frames);
  }
  std::vector<std::string> out;
  for (const auto& f : frames) out.push_back(ToHex(f->Bytes()));
  return out;
}

TEST(EncodeFrame, WireExamplesBothWays) {
  // From 7D on, content and check bytes need stuffing. Fixed fault: in 7D 5D the byte after
  // the escaped 7D was taken for escaped too.
  const struct {
    const char* content;
    const char* wire;
  } cases[] = {
      {"81", "C0 81 F9 65 C1"},    {"00", "C0 00 78 F0 C1"},         {"02 01", "C0 02 01 7E 2D C1"},
      {"80", "C0 80 70 74 C1"},    {"82", "C0 82 62 57 C1"},         {"83", "C0 83 EB 46 C1"},
      {"84", "C0 84 54 32 C1"},    {"02 00", "C0 02 00 F7 3C C1"},   {"03", "C0 03 E3 C2 C1"},
      {"7D", "C0 7D 5D 1A 58 C1"}, {"C0", "C0 7D E0 74 36 C1"},      {"19", "C0 19 38 7D 5D C1"},
      {"C1", "C0 7D E1 FD 27 C1"}, {"7D 5D", "C0 7D 5D 5D 9B C6 C1"}};
  for (const auto& c : cases) {
    EXPECT_EQ(ToHex(EncodeFrame(test::Frame(Hex(c.content)))), c.wire) << c.content;
    EXPECT_EQ(Decode({c.wire}), std::vector<std::string>{c.content}) << c.wire;
  }
}

TEST(TDriverFrameDecoder, DamagedSplitAndInterruptedFrames) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Decode({"C0 81 F9 66 C1"}), V{});  // check fails
  EXPECT_EQ(Decode({"C0 81 C1"}), V{});        // too short
  EXPECT_EQ(Decode({"C0 81 F9", "65 C1"}), V{"81"});
  EXPECT_EQ(Decode({"C0 7D", "5D 1A 58 C1"}), V{"7D"});
  EXPECT_EQ(Decode({"C1 C1 55 C0 C0 81 F9 65 C1 C1"}), V{"81"});
  // A start flag in mid-frame restarts gathering; a raw flag after 7D is still a flag.
  EXPECT_EQ(Decode({"C0 02 01 C0 81 F9 65 C1"}), V{"81"});
  EXPECT_EQ(Decode({"C0 81 7D C0 81 F9 65 C1"}), V{"81"});
}

TEST(TDriverFrameDecoder, OverlongFrameWrapsFillPosition) {
  const std::vector<uint8_t> body(65535, 0x11), code{0x81}, tail = Hex("F9 65 C1");
  TDriverFrameDecoder decoder;
  TDriverFrameList frames;
  decoder.Feed(Hex("C0").data(), 1, frames);
  decoder.Feed(body.data(), body.size(), frames);
  EXPECT_EQ(decoder.FramePos(), 65535);
  // Wrapped to 0, then the frame at the start of the buffer is accepted.
  decoder.Feed(code.data(), 1, frames);
  EXPECT_EQ(decoder.FramePos(), 1);
  decoder.Feed(tail.data(), tail.size(), frames);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames.front()->Bytes(), Hex("81"));
}

}  // namespace
}  // namespace quellar::device
