#include <gtest/gtest.h>

#include "DeviceTestUtil.h"
#include "device/DrvFrame.h"

namespace quellar::device {
namespace {

using test::Contents;
using test::Hex;
using test::ToHex;

TEST(TDriverFrame, ChecksumTableAndCheckValue) {
  EXPECT_EQ(kFcsTable[0], 0x0000);
  EXPECT_EQ(kFcsTable[1], 0x1189);
  EXPECT_EQ(kFcsTable[2], 0x2312);
  EXPECT_EQ(kFcsTable[3], 0x329B);
  const auto digits = Hex("31 32 33 34 35 36 37 38 39");
  EXPECT_EQ(static_cast<uint16_t>(~test::Frame(digits).Checksum()), 0x906E);
  EXPECT_EQ(TDriverFrame().Checksum(), 0xFFFF);
}

TEST(TDriverFrame, CommandOfEmptyFrameIs255AndSetCommandGrowsIt) {
  TDriverFrame f;
  EXPECT_EQ(f.Command(), 255);
  EXPECT_EQ(f.Size(), 0);
  EXPECT_EQ(f.Data(), nullptr);
  f.SetCommand(0x42);
  EXPECT_EQ(f.Size(), 1);
  EXPECT_EQ(f.Command(), 0x42);
  f.Resize(3);
  f.SetCommand(0x43);  // keeps the size of a non-empty frame
  EXPECT_EQ(f.Size(), 3);
  EXPECT_EQ(f.Bytes(), Hex("43 00 00"));
}

TEST(TDriverFrame, ResizeKeepsLeadingBytesAndZeroesNewOnes) {
  TDriverFrame f{1, 2, 3};
  f.Resize(5);
  EXPECT_EQ(f.Bytes(), Hex("01 02 03 00 00"));
  f.Resize(2);
  EXPECT_EQ(f.Bytes(), Hex("01 02"));
  f.Clear();
  EXPECT_EQ(f.Size(), 0);
  EXPECT_EQ(f.Data(), nullptr);
}

TEST(TDriverFrame, AssignAndAssignCommandCopy) {
  const uint8_t src[] = {0x93, 1, 2, 3, 4};
  TDriverFrame f;
  f.AssignCommand(src, 2);
  EXPECT_EQ(f.Bytes(), Hex("93 01 02"));
  f.Assign(src + 1, 4);
  EXPECT_EQ(f.Bytes(), Hex("01 02 03 04"));
  f.Assign(src, 0);
  EXPECT_EQ(f.Size(), 0);
}

TEST(TDriverFrame, WordsAreBigEndian) {
  TDriverFrame f{0x00, 0x01, 0x72};
  EXPECT_EQ(f.Word(1), 0x0172);
  f.SetWord(1, 0xABCD);
  EXPECT_EQ(f.Bytes(), Hex("00 AB CD"));
  EXPECT_EQ(Swap16(0x1234), 0x3412);
}

TEST(EncodeFrame, WireExamples) {
  const struct {
    const char* content;
    const char* wire;
  } cases[] = {
      {"81", "C0 81 F9 65 C1"},
      {"00", "C0 00 78 F0 C1"},
      {"02 01", "C0 02 01 7E 2D C1"},
      {"80", "C0 80 70 74 C1"},
      {"82", "C0 82 62 57 C1"},
      {"83", "C0 83 EB 46 C1"},
      {"84", "C0 84 54 32 C1"},
      {"02 00", "C0 02 00 F7 3C C1"},
      {"03", "C0 03 E3 C2 C1"},
      // Stuffed content and check bytes.
      {"7D", "C0 7D 5D 1A 58 C1"},
      {"C0", "C0 7D E0 74 36 C1"},
      {"19", "C0 19 38 7D 5D C1"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ToHex(EncodeFrame(test::Frame(Hex(c.content)))), c.wire) << c.content;
  }
}

TEST(EncodeFrame, StuffsEveryFlagAndEscapeByte) {
  const auto wire = EncodeFrame(TDriverFrame{0x01, 0xC0, 0xC1, 0x7D});
  const std::vector<uint8_t> head(wire.begin(), wire.begin() + 8);
  EXPECT_EQ(ToHex(head), "C0 01 7D E0 7D E1 7D 5D");
  EXPECT_EQ(wire.back(), 0xC1);
}

// Feeds wire bytes to a fresh decoder in the given pieces.
std::vector<std::vector<uint8_t>> DecodePieces(const std::vector<std::string>& pieces) {
  TDriverFrameDecoder decoder;
  TDriverFrameList frames;
  for (const auto& p : pieces) {
    const auto bytes = Hex(p);
    decoder.Feed(bytes.data(), bytes.size(), frames);
  }
  return Contents(frames);
}

TEST(TDriverFrameDecoder, WireExamples) {
  using V = std::vector<std::vector<uint8_t>>;
  EXPECT_EQ(DecodePieces({"C0 81 F9 65 C1"}), V{Hex("81")});
  EXPECT_EQ(DecodePieces({"C0 81 F9 66 C1"}), V{});  // check fails
  EXPECT_EQ(DecodePieces({"C0 81 F9", "65 C1"}), V{Hex("81")});
  EXPECT_EQ(DecodePieces({"C0 C0 81 F9 65 C1"}), V{Hex("81")});
  EXPECT_EQ(DecodePieces({"C0 81 C1"}), V{});  // too short
  EXPECT_EQ(DecodePieces({"C1 C1 55 C0 81 F9 65 C1 C1"}), V{Hex("81")});
  EXPECT_EQ(DecodePieces({"C0 7D 5D 1A 58 C1"}), V{Hex("7D")});
  EXPECT_EQ(DecodePieces({"C0 7D E0 74 36 C1"}), V{Hex("C0")});
  EXPECT_EQ(DecodePieces({"C0 19 38 7D 5D C1"}), V{Hex("19")});
  EXPECT_EQ(DecodePieces({"C0 7D", "5D 1A 58 C1"}), V{Hex("7D")});
  // A start flag in mid-frame restarts gathering; a raw flag after 7D is still a flag.
  EXPECT_EQ(DecodePieces({"C0 02 01 C0 81 F9 65 C1"}), V{Hex("81")});
  EXPECT_EQ(DecodePieces({"C0 81 7D C0 81 F9 65 C1"}), V{Hex("81")});
}

TEST(TDriverFrameDecoder, ByteAfterEscapedEscapeIsStoredUnchanged) {
  // Content 7D 5D: sent as 7D 5D 5D; the second 5D must stay 5D, not become 7D.
  TDriverFrame f{0x7D, 0x5D};
  const auto wire = EncodeFrame(f);
  EXPECT_EQ(ToHex(std::vector<uint8_t>(wire.begin(), wire.begin() + 4)), "C0 7D 5D 5D");
  TDriverFrameDecoder decoder;
  TDriverFrameList frames;
  decoder.Feed(wire.data(), wire.size(), frames);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames.front()->Bytes(), Hex("7D 5D"));
}

TEST(TDriverFrameDecoder, RoundTripsEveryByteValueSplitAnywhere) {
  TDriverFrame f;
  f.Resize(256);
  for (int i = 0; i < 256; ++i) f[static_cast<size_t>(i)] = static_cast<uint8_t>(255 - i);
  const auto wire = EncodeFrame(f);
  for (size_t cut = 0; cut <= wire.size(); cut += 7) {
    TDriverFrameDecoder decoder;
    TDriverFrameList frames;
    decoder.Feed(wire.data(), cut, frames);
    decoder.Feed(wire.data() + cut, wire.size() - cut, frames);
    ASSERT_EQ(frames.size(), 1u) << cut;
    EXPECT_EQ(*frames.front(), f);
  }
}

TEST(TDriverFrameDecoder, OverlongFrameWrapsFillPosition) {
  TDriverFrameDecoder decoder;
  TDriverFrameList frames;
  const std::vector<uint8_t> start{0xC0};
  decoder.Feed(start.data(), 1, frames);
  std::vector<uint8_t> body(65535, 0x11);
  decoder.Feed(body.data(), body.size(), frames);
  EXPECT_EQ(decoder.FramePos(), 65535);
  decoder.Feed(body.data(), 1, frames);
  EXPECT_EQ(decoder.FramePos(), 1);  // wrapped to 0, then one byte stored
  // After the wrap, a complete frame at the start of the buffer is accepted.
  const auto tail = Hex("F9 65 C1");
  std::vector<uint8_t> code{0x81};
  TDriverFrameDecoder fresh;
  fresh.Feed(start.data(), 1, frames);
  fresh.Feed(body.data(), body.size(), frames);
  fresh.Feed(code.data(), 1, frames);
  fresh.Feed(tail.data(), tail.size(), frames);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames.front()->Bytes(), Hex("81"));
}

}  // namespace
}  // namespace quellar::device
