#include <gtest/gtest.h>

#include "DeviceTestUtil.h"
#include "device/DrvResponse.h"

namespace quellar::device {
namespace {

using test::Hex;

TEST(TDriverResponse, NewResponseIsEmpty) {
  TDriverResponse r;
  EXPECT_EQ(r.Count(), 0);
  EXPECT_TRUE(r.Real.Values.empty());
  r.DecodeQuadrature(nullptr, 0);
  EXPECT_EQ(r.Count(), 0);
  r.DecodeAmplitude(nullptr, 0);
  EXPECT_EQ(r.Count(), 0);
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
    const auto bytes = Hex(c.group);
    TDriverResponse r;
    r.DecodeQuadrature(bytes.data(), bytes.size());
    ASSERT_EQ(r.Count(), 1) << c.group;
    EXPECT_FLOAT_EQ(r.Real.Values[0], c.re) << c.group;
    EXPECT_FLOAT_EQ(r.Imaginary.Values[0], c.im) << c.group;
    EXPECT_FLOAT_EQ(r.Amplitude.Values[0], c.amp) << c.group;
    EXPECT_EQ(r.Real.Flags[0], c.fre) << c.group;
    EXPECT_EQ(r.Imaginary.Flags[0], c.fim) << c.group;
    EXPECT_EQ(r.Amplitude.Flags[0], c.fre || c.fim) << c.group;
    EXPECT_DOUBLE_EQ(r.Real.GetValue(0), c.re);
  }
}

TEST(TDriverResponse, QuadratureIgnoresTrailingBytes) {
  const auto bytes = Hex("03 00 04 05 00 0C 09");
  TDriverResponse r;
  r.DecodeQuadrature(bytes.data(), bytes.size());
  ASSERT_EQ(r.Count(), 2);
  EXPECT_EQ(r.Real.Values[1], 5.0f);
  EXPECT_EQ(r.Imaginary.Values[1], 12.0f);
  EXPECT_EQ(r.Amplitude.Values[1], 13.0f);
}

TEST(TDriverResponse, AmplitudeLayoutTwoSamplesPerGroup) {
  const auto bytes = Hex("01 20 02 FF 47");
  TDriverResponse r;
  r.DecodeAmplitude(bytes.data(), 3);
  ASSERT_EQ(r.Count(), 2);
  EXPECT_EQ(r.Amplitude.Values[0], 1.0f);
  EXPECT_EQ(r.Amplitude.Values[1], 514.0f);
  EXPECT_EQ(r.Real.Values[1], 514.0f);
  EXPECT_EQ(r.Imaginary.Values[0], 0.0f);
  EXPECT_EQ(r.Imaginary.Values[1], 0.0f);
  // 5 bytes: 3 samples, the third is word A of bytes 3 and 4 (0x7FF: 1023, flag).
  r.DecodeAmplitude(bytes.data(), 5);
  ASSERT_EQ(r.Count(), 3);
  EXPECT_EQ(r.Amplitude.Values[2], 1023.0f);
  EXPECT_TRUE(r.Amplitude.Flags[2]);
  EXPECT_TRUE(r.Real.Flags[2]);
  EXPECT_FALSE(r.Imaginary.Flags[2]);
  // 4 bytes: 2 samples, byte 3 ignored.
  r.DecodeAmplitude(bytes.data(), 4);
  EXPECT_EQ(r.Count(), 2);
  EXPECT_EQ(r.Real.Values.size(), 2u);
  EXPECT_EQ(r.Imaginary.Flags.size(), 2u);
}

TEST(TDriverResponse, DecodeOverwritesEarlierSamples) {
  const auto big = Hex("05 00 0C 05 00 0C");
  const auto small = Hex("03 00 04");
  TDriverResponse r;
  r.DecodeQuadrature(big.data(), big.size());
  r.DecodeAmplitude(small.data(), small.size());
  ASSERT_EQ(r.Count(), 2);
  EXPECT_EQ(r.Imaginary.Values[0], 0.0f);
  EXPECT_EQ(r.Real.Values[1], 4.0f);  // word B of the one group
}

}  // namespace
}  // namespace quellar::device
