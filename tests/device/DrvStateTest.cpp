#include <gtest/gtest.h>

#include "DeviceTestUtil.h"
#include "device/DrvState.h"

namespace quellar::device {
namespace {

using test::Frame;
using test::Hex;

TEST(TDriverState, NewRecordIsAllZero) {
  TDriverState s;
  EXPECT_EQ(s.Master.ID, "");
  EXPECT_EQ(s.Magnetic.ID, "");
  EXPECT_EQ(s.Master.Detector, 0);
  EXPECT_EQ(s.Master.Filter, 0);
  EXPECT_EQ(s.Magnetic.SampleTemperature, 0.0);
  EXPECT_EQ(s.Magnetic.Gain, 0);
}

TEST(TDriverState, IdentificationJoinsItemsUpToDoubleZero) {
  TDriverState s;
  s.DecodeMasterID(Frame(Hex("04 41 31 00 42 32 00 00 58 59")));
  EXPECT_EQ(s.Master.ID, "A1/B2");
  s.DecodeMagneticID(Frame(Hex("80 4D 00 00")));
  EXPECT_EQ(s.Magnetic.ID, "M");
  // No double zero: the earlier text stays.
  s.DecodeMasterID(Frame(Hex("04 43 00 44")));
  EXPECT_EQ(s.Master.ID, "A1/B2");
  // Wrong code: ignored.
  s.DecodeMagneticID(Frame(Hex("04 5A 00 00")));
  EXPECT_EQ(s.Magnetic.ID, "M");
  // An empty identification is a valid one.
  s.DecodeMagneticID(Frame(Hex("80 00 00")));
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

TEST(TDriverState, ShortOrForeignFramesAreIgnored) {
  TDriverState s;
  s.Magnetic.SampleTemperature = 12.5;
  s.Magnetic.Gain = 7;
  s.Magnetic.AuxWord = 9;
  s.DecodeSampleTemperature(Frame(Hex("82 01")));
  s.DecodeSampleTemperature(Frame(Hex("81 01 2C")));
  s.DecodeMagneticSettings(Frame(Hex("83 7F FF F0 00 10 12")));
  s.DecodeAuxWord(Frame(Hex("84 12")));
  s.DecodeAuxWord(TDriverFrame{});
  EXPECT_EQ(s.Magnetic.SampleTemperature, 12.5);
  EXPECT_EQ(s.Magnetic.Gain, 7);
  EXPECT_EQ(s.Magnetic.AuxWord, 9);
}

TEST(TDriverState, MagneticSettingsAreLeftAligned12BitWords) {
  TDriverState s;
  s.DecodeMagneticSettings(Frame(Hex("83 7F FF F0 00 10 12 34")));
  EXPECT_EQ(s.Magnetic.Nitrogen, 127);
  EXPECT_EQ(s.Magnetic.BiasRoughly, 4095);
  EXPECT_EQ(s.Magnetic.BiasPrecise, 1);
  EXPECT_EQ(s.Magnetic.Gain, 291);
  s.DecodeAuxWord(Frame(Hex("84 FE DC")));
  EXPECT_EQ(s.Magnetic.AuxWord, 0xFEDC);
}

TEST(TDriverState, EncodeMagneticSettingsLimitsValues) {
  TDriverState s;
  s.Magnetic.Nitrogen = 300;
  s.Magnetic.BiasRoughly = -5;
  s.Magnetic.BiasPrecise = 1;
  s.Magnetic.Gain = 5000;
  TDriverFrame f;
  s.EncodeMagneticSettings(f);
  EXPECT_EQ(test::ToHex(f.Bytes()), "93 FF 00 00 00 10 FF F0");
  // Round trip through the answer decoder.
  f[0] = 0x83;
  TDriverState back;
  back.DecodeMagneticSettings(f);
  EXPECT_EQ(back.Magnetic.Nitrogen, 255);
  EXPECT_EQ(back.Magnetic.BiasPrecise, 1);
  EXPECT_EQ(back.Magnetic.Gain, 4095);
}

TEST(TDriverState, EncodeMasterSettingsMasksDetectorAndFilter) {
  const struct {
    int32_t detector, filter;
    const char* wire;
  } cases[] = {{8, 2, "04 0A 00"}, {1, 7, "04 03 00"}, {0, 0, "04 00 00"}, {8, 3, "04 0B 00"}};
  for (const auto& c : cases) {
    TDriverState s;
    s.Master.Detector = c.detector;
    s.Master.Filter = c.filter;
    // A reused frame with other bytes in it: byte 2 is always sent as 0.
    TDriverFrame f{0x93, 0x55, 0x66, 0x77, 0x88};
    s.EncodeMasterSettings(f);
    EXPECT_EQ(test::ToHex(f.Bytes()), c.wire);
  }
}

TEST(TDriverState, EncodeSampleSetpointInTenths) {
  const struct {
    double degrees;
    const char* wire;
  } cases[] = {{37, "92 01 72"},    {0, "92 00 00"},  {100, "92 03 E8"},
               {36.66, "92 01 6F"}, {-4, "92 00 00"}, {1e9, "92 FF FF"}};
  for (const auto& c : cases) {
    TDriverState s;
    s.Magnetic.SampleSetpoint = c.degrees;
    TDriverFrame f;
    s.EncodeSampleSetpoint(f);
    EXPECT_EQ(test::ToHex(f.Bytes()), c.wire) << c.degrees;
  }
}

}  // namespace
}  // namespace quellar::device
