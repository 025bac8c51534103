// Guarded functions, linear algebra and the random generator.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

#include "numerics/matrices.h"
#include "numerics/random.h"

namespace quellar::numerics {
namespace {

TEST(GuardedFunctions, ExpAndPowerClipAtTheLimitsAndFlagIt) {
  const struct {
    double x, e, expected;  // e NaN: Exp(x)
    unsigned flags;
  } cases[] = {
      {1, NAN, std::exp(1.0), 0},
      {-708.39, NAN, std::exp(-708.39), 0},  // just inside the lower limit
      {-708.3964185322642, NAN, 0, kMathUnderflow},
      {709.78, NAN, std::exp(709.78), 0},
      {709.782712893385, NAN, kHugeValue, kMathOverflow},
      {2, 10, 1024, 0},  // integer power, exact
      {-2, 3, -8, 0},    // negative base with an integral exponent
      {-2, -2, 0.25, 0},
      {1.5, 0, 1, 0},
      {-1, 2147483647, -1, 0},  // largest integral exponent still multiplies
      {4, 0.5, 2, 0},
      {-2, 0.5, 0, kMathDomain},  // no real value
      {0, 0.5, 0, kMathDomain},
      {10, 400.5, kHugeValue, kMathOverflow},
      {10, -400.5, 0, kMathUnderflow},
      {0, -1, kHugeValue, kMathOverflow},  // 1/0 clipped rather than infinite
      {1e200, 2, kHugeValue, kMathOverflow},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.x << "^" << c.e);
    ClearMathErrors();
    EXPECT_DOUBLE_EQ(c.expected, std::isnan(c.e) ? Exp(c.x) : Power(c.x, c.e));
    EXPECT_EQ(c.flags, MathErrors());
  }
  Exp(-800);  // the flags accumulate until cleared
  EXPECT_EQ(kMathUnderflow | kMathOverflow, MathErrors());
  ClearMathErrors();
}

TEST(IncompleteBeta, MatchesClosedForms) {
  for (double x : {0.0, 0.1, 0.5, 0.93, 1.0}) {
    EXPECT_NEAR(x, IncompleteBeta(1, 1, x), 1e-12);
    EXPECT_NEAR(std::pow(x, 3.5), IncompleteBeta(3.5, 1, x), 1e-12);
    EXPECT_NEAR(1 - std::pow(1 - x, 2.5), IncompleteBeta(1, 2.5, x), 1e-12);
  }
  EXPECT_NEAR(0.5, IncompleteBeta(7.3, 7.3, 0.5), 1e-12);
  // Large arguments, as F tests on thousands of points give: the mean of Beta(a, b) sits
  // near its median, and I_x(a, b) = 1 - I_(1-x)(b, a). The log-gammas of such arguments are
  // near 1e4, so their difference keeps about 11 digits.
  EXPECT_NEAR(0.5, IncompleteBeta(2500, 2500, 0.5), 1e-10);
  EXPECT_NEAR(1 - IncompleteBeta(1, 2499, 0.001), IncompleteBeta(2499, 1, 0.999), 1e-12);
  EXPECT_NEAR(std::pow(0.999, 2499), IncompleteBeta(2499, 1, 0.999), 1e-10);
}

// A 3x3 system placed at slots 1..3; slot 0 must stay untouched.
Matrix SlotMatrix(const double (&a)[3][3]) {
  Matrix m(3, 3);
  for (int i = 0; i <= 3; ++i) m[0][i] = m[i][0] = 99;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) m[i + 1][j + 1] = a[i][j];
  return m;
}

TEST(GaussJordan, SolvesAndInvertsOverTheSlotRange) {
  const Matrix a = SlotMatrix({{0, 2, 1}, {1, 1, 0}, {3, 0, 4}});  // zero first pivot
  const Vector rhs{7, 10, 4, 19};                                  // x = (1, 3, 4) at slots 1..3
  Vector x(4, -5);
  Matrix inv(3, 3);
  inv[0][0] = 42;
  Matrix inv2;
  ASSERT_EQ(kFitOk, GaussJordan(a, rhs, 1, 3, x, inv));
  ASSERT_EQ(kFitOk, Invert(a, 1, 3, inv2));
  const double want[] = {-5, 1, 3, 4};  // slot 0 untouched
  for (int i = 0; i <= 3; ++i) EXPECT_NEAR(want[i], x[i], 1e-12);
  EXPECT_EQ(42, inv[0][0]);
  for (int i = 1; i <= 3; ++i)
    for (int j = 1; j <= 3; ++j) {
      double s = 0;
      for (int k = 1; k <= 3; ++k) s += a[i][k] * inv[k][j];
      EXPECT_NEAR(i == j ? 1.0 : 0.0, s, 1e-12);
      EXPECT_NEAR(inv[i][j], inv2[i][j], 1e-15);
    }
}

TEST(GaussJordan, SmallPivotIsSingular) {
  const Matrix dependent = SlotMatrix({{1, 2, 3}, {2, 4, 6}, {1, 0, 1}});
  const Matrix tiny = SlotMatrix({{1e-16, 0, 0}, {0, 1, 0}, {0, 0, 1}});  // below MachineEpsilon
  const Matrix small = SlotMatrix({{1e-15, 0, 0}, {0, 1, 0}, {0, 0, 1}});
  Vector x(4), rhs(4, 1.0);
  Matrix inv;
  EXPECT_EQ(kFitSingular, GaussJordan(dependent, rhs, 1, 3, x, inv));
  EXPECT_EQ(kFitSingular, Invert(dependent, 1, 3, inv));
  EXPECT_EQ(kFitSingular, GaussJordan(tiny, rhs, 1, 3, x, inv));
  EXPECT_EQ(kFitOk, GaussJordan(small, rhs, 1, 3, x, inv));
  EXPECT_NEAR(1e15, x[1], 1);
}

TEST(Cholesky, FactorsPositiveDefiniteAndRefusesTheRest) {
  const Matrix a = SlotMatrix({{4, 2, -2}, {2, 10, 2}, {-2, 2, 6}});
  Matrix l;
  ASSERT_EQ(kFitOk, Cholesky(a, 1, 3, l));
  const double expected[3][3] = {{2, 0, 0}, {1, 3, 0}, {-1, 1, 2}};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(expected[i][j], l[i + 1][j + 1], 1e-12);
  EXPECT_EQ(kFitIterationLimit, Cholesky(SlotMatrix({{1, 2, 0}, {2, 1, 0}, {0, 0, 1}}), 1, 3, l));
  EXPECT_EQ(kFitIterationLimit, Cholesky(SlotMatrix({{0, 0, 0}, {0, 1, 0}, {0, 0, 1}}), 1, 3, l));
}

TEST(VectorStatistics, MedianAndMaxAbsOverTheRange) {
  const Vector v{100, 3, -7, 1, 5, -100};
  EXPECT_EQ(2, Median(v, 1, 4));  // -7 1 3 5: mean of the middle two
  EXPECT_EQ(1, Median(v, 1, 3));  // -7 1 3
  EXPECT_EQ(7, MaxAbs(v, 1, 4));
  EXPECT_EQ(0, MaxAbs(v, 3, 2));
}

TEST(TRandom, SeededDrawsAndCachedBoxMullerPairs) {
  TRandom r({1, 1});
  EXPECT_EQ(1179678903, r.Next());
  r.Seed({1, 1});
  EXPECT_EQ((1179678903 + 2147483648.0) / 4294967296.0, r.Uniform());
  TRandom normal({77, 5}), twin({77, 5});
  const double u1 = twin.Uniform(), u2 = twin.Uniform();
  const double radius = std::sqrt(-2 * std::log(u1)), angle = 2 * M_PI * u2;
  EXPECT_DOUBLE_EQ(radius * std::cos(angle), normal.Normal());
  EXPECT_DOUBLE_EQ(radius * std::sin(angle), normal.Normal());
  EXPECT_DOUBLE_EQ(twin.Normal(), normal.Normal());  // the pair is used up: a fresh one
}

TEST(TRandom, ClockSeedsDifferAndAvoidZero) {
  const RandomSeed a = ClockSeed(), b = ClockSeed();
  EXPECT_TRUE(a.s1 != b.s1 || a.s2 != b.s2);
  for (int i = 0; i < 1000; ++i) {
    const RandomSeed s = ClockSeed();
    ASSERT_TRUE(s.s1 >= 1 && s.s1 <= 9999 && s.s2 >= 1 && s.s2 <= 9999) << s.s1 << " " << s.s2;
  }
}

}  // namespace
}  // namespace quellar::numerics
