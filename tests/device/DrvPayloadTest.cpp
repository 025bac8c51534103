// What the answers carry: the analyzer's state record and the sample block.
#include <gtest/gtest.h>

#include <cmath>

#include "DeviceTestUtil.h"
#include "device/DrvResponse.h"
#include "device/DrvState.h"

namespace quellar::device {
namespace {

using test::Frame;
using test::Hex;
using test::ToHex;

TEST(TDriverState, IdentificationJoinsItemsUpToDoubleZero) {
  TDriverState s;
  s.DecodeMasterID(Frame(Hex("04 41 31 00 42 32 00 00 58 59")));
  EXPECT_EQ(s.Master.ID, "A1/B2");
  s.DecodeMagneticID(Frame(Hex("80 4D 00 00")));
  EXPECT_EQ(s.Magnetic.ID, "M");
  s.DecodeMasterID(Frame(Hex("04 43 00 44")));    // no double zero: the earlier text stays
  s.DecodeMagneticID(Frame(Hex("04 5A 00 00")));  // wrong code
  EXPECT_EQ(s.Master.ID, "A1/B2");
  EXPECT_EQ(s.Magnetic.ID, "M");
  s.DecodeMagneticID(Frame(Hex("80 00 00")));  // an empty identification is a valid one
  EXPECT_EQ(s.Magnetic.ID, "");
}

TEST(TDriverState, TemperaturesInTenthsWithNoReadingMarker) {
  const struct {
    const char* bytes;
    double value;
  } cases[] = {
      {"01 2C", 30.0}, {"80 00", 0.0}, {"FF FF", 6553.5}, {"00 01", 0.1}, {"80 01", 3276.9}};
  for (const auto& c : cases) {
    TDriverState s;
    s.Magnetic.SampleTemperature = -1;
    s.DecodeSampleTemperature(Frame(Hex(std::string("82 ") + c.bytes)));
    EXPECT_DOUBLE_EQ(s.Magnetic.SampleTemperature, c.value) << c.bytes;
    s.DecodeSystemTemperature(Frame(Hex(std::string("81 ") + c.bytes)));
    EXPECT_DOUBLE_EQ(s.Magnetic.SystemTemperature, c.value) << c.bytes;
  }
}

TEST(TDriverState, SettingsAreLeftAligned12BitWordsAndShortFramesAreIgnored) {
  TDriverState s;
  s.DecodeMagneticSettings(Frame(Hex("83 7F FF F0 00 10 12 34")));
  s.DecodeAuxWord(Frame(Hex("84 FE DC")));
  EXPECT_EQ(s.Magnetic.Nitrogen, 127);
  EXPECT_EQ(s.Magnetic.BiasRoughly, 4095);
  EXPECT_EQ(s.Magnetic.BiasPrecise, 1);
  EXPECT_EQ(s.Magnetic.Gain, 291);
  EXPECT_EQ(s.Magnetic.AuxWord, 0xFEDC);
  s.Magnetic.SampleTemperature = 12.5;
  s.DecodeSampleTemperature(Frame(Hex("82 01")));
  s.DecodeSampleTemperature(Frame(Hex("81 01 2C")));
  s.DecodeMagneticSettings(Frame(Hex("83 00 00 00 00 00 00")));
  s.DecodeAuxWord(Frame(Hex("84 12")));
  s.DecodeAuxWord(TDriverFrame{});
  EXPECT_EQ(s.Magnetic.SampleTemperature, 12.5);
  EXPECT_EQ(s.Magnetic.Nitrogen, 127);
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

  const struct {
    int32_t detector, filter;
    const char* wire;
  } masters[] = {{8, 2, "04 0A 00"}, {1, 7, "04 03 00"}, {3, 6, "04 02 00"}, {8, 3, "04 0B 00"}};
  for (const auto& c : masters) {
    s.Master.Detector = c.detector;
    s.Master.Filter = c.filter;
    // A reused frame with other bytes in it: byte 2 is always sent as 0.
    f = TDriverFrame{0x93, 0x55, 0x66, 0x77, 0x88};
    s.EncodeMasterSettings(f);
    EXPECT_EQ(ToHex(f.Bytes()), c.wire);
  }

  const struct {
    double degrees;
    const char* wire;
  } setpoints[] = {{37, "92 01 72"}, {0, "92 00 00"},   {100, "92 03 E8"}, {36.66, "92 01 6F"},
                   {-4, "92 00 00"}, {1e9, "92 FF FF"}, {NAN, "92 00 00"}};
  for (const auto& c : setpoints) {
    s.Magnetic.SampleSetpoint = c.degrees;
    s.EncodeSampleSetpoint(f);
    EXPECT_EQ(ToHex(f.Bytes()), c.wire) << c.degrees;
  }
}

TEST(TDriverResponse, QuadratureGroups) {
  const struct {
    const char* group;
    float re, im, amp;
    bool fre, fim;
  } cases[] = {
      {"03 40 00", 3, 0, 3, false, true},
      {"03 00 04", 3, 4, 5, false, false},
      {"FF 07 00", 1023, 0, 1023, true, false},          // word A 0x7FF
      {"00 08 00", 0, 0, 0, false, false},               // word A 0x800: bit 11 dropped
      {"FF FF FF", 1023, 1023, 1446.7405f, true, true},  // 0xFFF both
      {"01 20 02", 1, 514, 514.00098f, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.group);
    // The group follows one of 05 00 0C, with a byte of the next one after it.
    const auto bytes = Hex(std::string("05 00 0C ") + c.group + " 09");
    TDriverResponse r;
    r.DecodeQuadrature(bytes.data(), bytes.size());
    ASSERT_EQ(r.Count(), 2);
    EXPECT_EQ(r.Amplitude.Values[0], 13.0f);
    EXPECT_FLOAT_EQ(r.Real.Values[1], c.re);
    EXPECT_FLOAT_EQ(r.Imaginary.Values[1], c.im);
    EXPECT_FLOAT_EQ(r.Amplitude.Values[1], c.amp);
    EXPECT_EQ(r.Real.Flags[1], c.fre);
    EXPECT_EQ(r.Imaginary.Flags[1], c.fim);
    EXPECT_EQ(r.Amplitude.Flags[1], c.fre || c.fim);
  }
}

TEST(TDriverResponse, AmplitudeLayoutTwoSamplesPerGroup) {
  const auto bytes = Hex("01 20 02 FF 47"), ones = Hex("FF FF FF FF FF FF");
  TDriverResponse r;
  r.DecodeQuadrature(ones.data(), ones.size());  // all of it overwritten
  r.DecodeAmplitude(bytes.data(), 3);
  ASSERT_EQ(r.Count(), 2);
  EXPECT_EQ(r.Amplitude.Values[0], 1.0f);
  EXPECT_EQ(r.Amplitude.Values[1], 514.0f);
  EXPECT_EQ(r.Real.Values[1], 514.0f);
  EXPECT_EQ(r.Imaginary.Values[0], 0.0f);
  EXPECT_FALSE(r.Amplitude.Flags[0] || r.Real.Flags[1] || r.Imaginary.Flags[1]);
  // 5 bytes: 3 samples, the third is word A of bytes 3 and 4 (0x7FF: 1023, flag).
  r.DecodeAmplitude(bytes.data(), 5);
  ASSERT_EQ(r.Count(), 3);
  EXPECT_EQ(r.Amplitude.Values[2], 1023.0f);
  EXPECT_TRUE(r.Amplitude.Flags[2]);
  EXPECT_TRUE(r.Real.Flags[2]);
  EXPECT_FALSE(r.Imaginary.Flags[2]);
  // 4 bytes: 2 samples, byte 3 ignored; nothing: none.
  r.DecodeAmplitude(bytes.data(), 4);
  EXPECT_EQ(r.Count(), 2);
  EXPECT_EQ(r.Imaginary.Flags.size(), 2u);
  r.DecodeQuadrature(nullptr, 0);
  EXPECT_EQ(r.Count(), 0);
  EXPECT_TRUE(r.Real.Values.empty());
}

}  // namespace
}  // namespace quellar::device
