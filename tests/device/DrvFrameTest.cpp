// Frames on the wire and what they carry: the analyzer's state record and the sample block.
#include <gtest/gtest.h>

#include <cmath>

#include "DeviceTestUtil.h"
#include "device/DrvResponse.h"
#include "device/DrvState.h"
#include "support/TestSupport.h"

namespace quellar::device {
namespace {

using test::Frame;
using test::Hex;
using test::ToHex;

TEST(TDriverFrame, SizeCommandAndWords) {
  TDriverFrame f;
  EXPECT_EQ(f.Command(), 255);
  f.SetCommand(0x42);  // grows an empty frame
  EXPECT_EQ(f.Bytes(), Hex("42"));
  f.Resize(3);
  f.SetCommand(0x43);  // keeps the size of a non-empty frame
  f.SetWord(1, 0xABCD);
  EXPECT_EQ(f.Bytes(), Hex("43 AB CD"));
  EXPECT_EQ(f.Word(1), 0xABCD);
  EXPECT_EQ(Swap16(0x1234), 0x3412);
  f.Clear();
  EXPECT_EQ(f.Data(), nullptr);
  const uint8_t src[] = {0x93, 1, 2, 3, 4};
  f.AssignCommand(src, 2);
  EXPECT_EQ(f.Bytes(), Hex("93 01 02"));
  f.Assign(src + 1, 4);
  EXPECT_EQ(f.Bytes(), Hex("01 02 03 04"));
}

TEST(TDriverFrame, OutOfRangeIsReportedAndRaised) {
  test::ReportCapture reports;
  TDriverFrame f{1, 2};
  EXPECT_THROW(f.Resize(-1), EListError);
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
  for (const auto& p : pieces) decoder.Feed(Hex(p).data(), Hex(p).size(), frames);
  std::vector<std::string> out;
  for (const auto& f : frames) out.push_back(ToHex(f->Bytes()));
  return out;
}

TEST(EncodeFrame, WireExamplesBothWays) {
  // From 7D on, content and check bytes need stuffing. Fixed fault: in 7D 5D the byte after
  // the escaped 7D was taken for escaped too.
  const std::pair<const char*, const char*> cases[] = {
      {"81", "C0 81 F9 65 C1"},    {"02 01", "C0 02 01 7E 2D C1"},   {"03", "C0 03 E3 C2 C1"},
      {"7D", "C0 7D 5D 1A 58 C1"}, {"C0", "C0 7D E0 74 36 C1"},      {"19", "C0 19 38 7D 5D C1"},
      {"C1", "C0 7D E1 FD 27 C1"}, {"7D 5D", "C0 7D 5D 5D 9B C6 C1"}};
  for (const auto& [content, wire] : cases) {
    EXPECT_EQ(ToHex(EncodeFrame(Frame(Hex(content)))), wire) << content;
    EXPECT_EQ(Decode({wire}), std::vector<std::string>{content}) << wire;
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
  std::vector<uint8_t> body(65536, 0x11), tail = Hex("81 F9 65 C1");
  body[0] = 0xC0;
  TDriverFrameDecoder decoder;
  TDriverFrameList frames;
  decoder.Feed(body.data(), body.size(), frames);
  // Wrapped to 0, then the frame at the start of the buffer is accepted.
  decoder.Feed(tail.data(), tail.size(), frames);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames.front()->Bytes(), Hex("81"));
}

TEST(TDriverState, IdentificationJoinsItemsUpToDoubleZero) {
  TDriverState s;
  s.DecodeMasterID(Frame(Hex("04 41 31 00 42 32 00 00 58 59")));
  s.DecodeMagneticID(Frame(Hex("80 4D 00 00")));
  s.DecodeMasterID(Frame(Hex("04 43 00 44")));    // no double zero: the earlier text stays
  s.DecodeMagneticID(Frame(Hex("04 5A 00 00")));  // wrong code
  EXPECT_EQ(s.Master.ID, "A1/B2");
  EXPECT_EQ(s.Magnetic.ID, "M");
  s.DecodeMagneticID(Frame(Hex("80 00 00")));  // an empty identification is a valid one
  EXPECT_EQ(s.Magnetic.ID, "");
}

TEST(TDriverState, DecodesTenthsOfDegreesAndLeftAligned12BitSettingsIgnoringShortFrames) {
  const std::pair<const char*, double> cases[] = {
      {"01 2C", 30.0}, {"80 00", 0.0}, {"FF FF", 6553.5}, {"80 01", 3276.9}};
  TDriverState s;
  for (const auto& [bytes, value] : cases) {
    s.DecodeSampleTemperature(Frame(Hex(std::string("82 ") + bytes)));
    s.DecodeSystemTemperature(Frame(Hex(std::string("81 ") + bytes)));
    EXPECT_DOUBLE_EQ(s.Magnetic.SampleTemperature, value) << bytes;
    EXPECT_DOUBLE_EQ(s.Magnetic.SystemTemperature, value) << bytes;
  }
  s.DecodeMagneticSettings(Frame(Hex("83 7F FF F0 00 10 12 34")));
  s.DecodeAuxWord(Frame(Hex("84 FE DC")));
  for (const char* shorter : {"82 01", "81 01 2C", "83 00 00 00 00 00 00", "84 12", ""}) {
    s.DecodeSampleTemperature(Frame(Hex(shorter)));
    s.DecodeMagneticSettings(Frame(Hex(shorter)));
    s.DecodeAuxWord(Frame(Hex(shorter)));
  }
  EXPECT_DOUBLE_EQ(s.Magnetic.SampleTemperature, 3276.9);
  EXPECT_EQ(s.Magnetic.Nitrogen, 127);
  EXPECT_EQ(s.Magnetic.BiasRoughly, 4095);
  EXPECT_EQ(s.Magnetic.BiasPrecise, 1);
  EXPECT_EQ(s.Magnetic.Gain, 291);
  EXPECT_EQ(s.Magnetic.AuxWord, 0xFEDC);
}

TEST(TDriverState, EncodeLimitsValuesToTheirFields) {
  TDriverState s;
  s.Magnetic.Nitrogen = 300;
  s.Magnetic.BiasRoughly = -5;
  s.Magnetic.BiasPrecise = 1;
  s.Magnetic.Gain = 5000;
  TDriverFrame f;
  s.EncodeMagneticSettings(f);
  EXPECT_EQ(ToHex(f.Bytes()), "93 FF 00 00 00 10 FF F0");
  s.Master.Detector = 9;
  s.Master.Filter = 6;
  // A reused frame with other bytes in it: byte 2 is always sent as 0.
  f = TDriverFrame{0x93, 0x55, 0x66, 0x77, 0x88};
  s.EncodeMasterSettings(f);
  EXPECT_EQ(ToHex(f.Bytes()), "04 0A 00");
  const std::pair<double, const char*> setpoints[] = {{37, "92 01 72"},
                                                      {36.66, "92 01 6F"},
                                                      {-4, "92 00 00"},
                                                      {1e9, "92 FF FF"},
                                                      {NAN, "92 00 00"}};
  for (const auto& [degrees, wire] : setpoints) {
    s.Magnetic.SampleSetpoint = degrees;
    s.EncodeSampleSetpoint(f);
    EXPECT_EQ(ToHex(f.Bytes()), wire) << degrees;
  }
}

// The fuzz replays check the real part and the amplitude layout against their own decoding;
// the imaginary part they only see through the amplitude.
TEST(TDriverResponse, QuadratureImaginaryPartsAndAnAmplitudeBlockOverwritingThem) {
  const auto groups = Hex("05 00 0C 03 40 00 01 20 02 FF FF FF 09");
  TDriverResponse r;
  r.DecodeQuadrature(groups.data(), groups.size());
  EXPECT_EQ(r.Imaginary.Values, (std::vector<float>{12, 0, 514, 1023}));
  EXPECT_EQ(r.Imaginary.Flags, (std::vector<bool>{false, true, false, true}));
  // 5 bytes: 3 samples, the third is word A of bytes 3 and 4 (0x7FF: 1023, flagged).
  r.DecodeAmplitude(groups.data() + 6, 5);
  EXPECT_EQ(r.Real.Values, (std::vector<float>{1, 514, 1023}));
  EXPECT_EQ(r.Imaginary.Values, std::vector<float>(3, 0.0f));
  EXPECT_EQ(r.Imaginary.Flags, std::vector<bool>(3, false));
}

}  // namespace
}  // namespace quellar::device
