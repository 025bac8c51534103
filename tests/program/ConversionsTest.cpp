#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "program/DrvConversions.h"

namespace quellar::program {
namespace {

TEST(RoundHalfEven, RoundsToNearestWithHalvesToEven) {
  struct Case {
    double value;
    int64_t expected;
  };
  const Case cases[] = {
      {2.5, 2},
      {3.5, 4},
      {-2.5, -2},
      {-3.5, -4},
      {0.4, 0},
      {0.5, 0},
      {1.5, 2},
      {2450.5, 2450},
      {2.4999999, 2},
      {2.5000001, 3},
      {-0.4, 0},
      {8000.0, 8000},
      {4503599627370497.0, 4503599627370497},
      {-9223372036854775808.0, INT64_MIN},
  };
  for (const Case& c : cases) {
    int64_t result = 0;
    ASSERT_TRUE(RoundHalfEven(c.value, result)) << c.value;
    EXPECT_EQ(result, c.expected) << c.value;
  }
}

TEST(RoundHalfEven, RefusesValuesOutsideTheRange) {
  for (const double value :
       {9223372036854775808.0, 1e300, -1e19, std::numeric_limits<double>::infinity(),
        std::numeric_limits<double>::quiet_NaN()}) {
    int64_t result = 5;
    EXPECT_FALSE(RoundHalfEven(value, result)) << value;
    EXPECT_EQ(result, 5);
  }
}

TEST(PhaseCodeFromDegrees, MapsTheFourPhasesAndEverythingElseToZero) {
  struct Case {
    double degrees;
    int code;
  };
  const Case cases[] = {{0, 0},   {90, 1},  {180, 2}, {270, 3},        {45, 0},
                        {360, 0}, {-90, 0}, {450, 0}, {90.0000001, 0}, {NAN, 0}};
  for (const Case& c : cases) EXPECT_EQ(PhaseCodeFromDegrees(c.degrees), c.code) << c.degrees;
}

}  // namespace
}  // namespace quellar::program
