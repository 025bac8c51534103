// Certified reference problems (NIST StRD nonlinear regression), fitted as a client's custom
// model is fitted: exact derivatives, MaxIter 800, Tol 0.001, bounds +-1e6.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>

#include "numerics/regress.h"

namespace quellar::numerics {
namespace {

struct Certified {
  std::vector<double> start1, start2, values;
  double ssr = 0;
  Vector x{0}, y{0};  // points 1..n
};

// NIST's layout: "bK = start1 start2 certified sd" lines, the residual sum of squares, then
// "y x" pairs after the "Data: y x" line.
Certified Read(const std::string& name) {
  std::ifstream in(std::string(QUELLAR_NIST_DIR) + "/" + name + ".dat");
  EXPECT_TRUE(in) << name;
  Certified c;
  bool data = false;
  for (std::string line, first, second; std::getline(in, line);) {
    std::istringstream words(line);
    words >> first >> second;
    double a = 0, b = 0, value = 0;
    if (data && std::istringstream(line) >> a >> b) c.y.push_back(a), c.x.push_back(b);
    if (!data && first.size() >= 2 && first[0] == 'b' && second == "=" && words >> a >> b >> value)
      c.start1.push_back(a), c.start2.push_back(b), c.values.push_back(value);
    if (first == "Residual" && line.find("Sum of Squares:") != std::string::npos)
      c.ssr = std::stod(line.substr(line.find(':') + 1));
    data = data || (first == "Data:" && second == "y");
  }
  return c;
}

using Model = double (*)(double x, std::span<const double> b, std::span<double> d);

// Value and exact derivatives of each model (b0 is NIST's b1).
double Misra1a(double x, std::span<const double> b, std::span<double> d) {
  const double e = std::exp(-b[1] * x);
  d[0] = 1 - e, d[1] = b[0] * x * e;
  return b[0] * (1 - e);
}
double Lanczos3(double x, std::span<const double> b, std::span<double> d) {
  double y = 0;
  for (int k = 0; k < 6; k += 2) {
    const double e = std::exp(-b[k + 1] * x);
    d[k] = e, d[k + 1] = -b[k] * x * e;
    y += b[k] * e;
  }
  return y;
}
double Mgh17(double x, std::span<const double> b, std::span<double> d) {
  const double e1 = std::exp(-x * b[3]), e2 = std::exp(-x * b[4]);
  d[0] = 1, d[1] = e1, d[2] = e2, d[3] = -x * b[1] * e1, d[4] = -x * b[2] * e2;
  return b[0] + b[1] * e1 + b[2] * e2;
}
double Mgh09(double x, std::span<const double> b, std::span<double> d) {
  const double num = x * x + x * b[1], den = x * x + x * b[2] + b[3];
  d[0] = num / den, d[1] = b[0] * x / den;
  d[2] = -b[0] * num * x / (den * den), d[3] = -b[0] * num / (den * den);
  return b[0] * num / den;
}
// Kirby2 (degree 2) and Thurber (degree 3): a polynomial over 1 plus a polynomial.
template <int kDegree>
double Rational(double x, std::span<const double> b, std::span<double> d) {
  double num = 0, den = 1, power = 1;
  for (int k = 0; k <= kDegree; ++k, power *= x) {
    num += b[k] * power;
    if (k > 0) den += b[kDegree + k] * power;
  }
  power = 1;
  for (int k = 0; k <= kDegree; ++k, power *= x) {
    d[k] = power / den;
    if (k > 0) d[kDegree + k] = -num * power / (den * den);
  }
  return num / den;
}

TEST(FitNonlinear, CertifiedProblemsAtTheObjectsSettings) {
  const std::pair<const char*, Model> problems[] = {
      {"Misra1a", Misra1a}, {"Lanczos3", Lanczos3}, {"Kirby2", Rational<2>},
      {"MGH17", Mgh17},     {"MGH09", Mgh09},       {"Thurber", Rational<3>}};
  for (const auto& [name, model] : problems) {
    const Certified c = Read(name);
    ASSERT_EQ(c.values.size(), c.start1.size()) << name;
    const int k = int(c.values.size());
    const Vector lower(k, -1e6), upper(k, 1e6);
    FitProblem p;
    p.model = [m = model](double x, std::span<const double> b) {
      double d[7];
      return m(x, b, std::span<double>(d));
    };
    p.derivative = [m = model](double x, double, std::span<const double> b, std::span<double> d) {
      m(x, b, d);
    };
    p.x = c.x, p.y = c.y, p.n = int(c.x.size()) - 1;
    p.lb = 0, p.ub = k - 1, p.lower = lower, p.upper = upper, p.maxIter = 800, p.tol = 0.001;
    // The same problem with a sweep, unweighted and weighted: that changes the speed of a fit
    // and never its result.
    Vector weights(c.x.size());
    for (std::size_t i = 0; i < weights.size(); ++i) weights[i] = 1.0 + i % 3;
    FitProblem swept = p;
    swept.sweep = [m = model](std::span<const double> x, std::span<const double> b,
                              std::span<double> y, std::span<double> d, std::size_t width) {
      double unused[7];
      for (std::size_t i = 0; i < x.size(); ++i)
        y[i] = m(x[i], b, d.empty() ? std::span<double>(unused) : d.subspan(i * width, width));
    };
    for (const auto& start : {c.start1, c.start2}) {
      for (uint8_t method : {kMethodMarquardt, kMethodSimplex, kMethodBfgs}) {
        SCOPED_TRACE(testing::Message() << name << " from " << start[0] << " method " << +method);
        Vector b = start;
        Matrix v;
        FitSummary summary;
        const FitResult code = FitNonlinear(p, b, v, {method, {}}, &summary);
        for (const bool weighted : {false, true}) {
          FitProblem plain = p, fast = swept;
          if (weighted) plain.weights = fast.weights = weights;
          Vector one = start, other = start;
          FitSummary first, second;
          EXPECT_EQ(FitNonlinear(plain, one, v, {method, {}}, &first),
                    FitNonlinear(fast, other, v, {method, {}}, &second));
          EXPECT_EQ(one, other) << weighted;
          EXPECT_EQ(first.evaluations, second.evaluations);
        }
        // Success only at the certified minimum, whatever the method.
        EXPECT_TRUE(code != kFitOk || summary.sumOfSquares <= c.ssr * (1 + 1e-4))
            << summary.sumOfSquares;
        if (method != kMethodMarquardt) continue;
        EXPECT_EQ(kFitOk, code);
        for (int j = 0; j < k; ++j) {  // at least four correct digits in every parameter
          EXPECT_NEAR(b[j], c.values[j], 1e-4 * std::fabs(c.values[j])) << "b" << j + 1;
        }
      }
    }
  }
}

}  // namespace
}  // namespace quellar::numerics
