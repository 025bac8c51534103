#pragma once
// The model catalogue: regression models selected by index, each with its parameter slots,
// function, derivative procedure and own estimate, and FitCatalogueModel, which estimates,
// refines with FitNonlinear and computes the fitted values and statistics. Everything is per
// call: the model, its options and the variance model are arguments, not process-wide state.
#include <span>

#include "numerics/regress.h"

namespace quellar::numerics {

inline constexpr int kModelCount = 13;
inline constexpr int kVarianceModelCount = 6;
extern const char* const kModelNames[kModelCount];
extern const char* const kVarianceModelNames[kVarianceModelCount];

enum CatalogueModel : int {
  kModelLinear = 0,
  kModelSumOfExponentials = 4,
  kModelPower = 7,
  kModelHill = 10,
};

// One model of the catalogue with its options applied. estimate fills b (and for "Linear" v)
// from points 1..n.
struct ModelEntry {
  int lb = 0;
  int ub = -1;
  ModelFunction model;
  DerivativeProcedure derivative;
  ModelSweep sweep;
  std::function<FitResult(std::span<const double> x, std::span<const double> y, int n,
                          std::span<double> b, Matrix& v)>
      estimate;
};

// Fills entry for model index; kFitNoSuchModel for an index outside 0..12, for the catalogue
// entries without an implementation (every one except "Linear", "Sum of exponentials", "Power"
// and "Hill"). Options of "Sum of exponentials": element 0 rounded is the number of
// exponentials (1 when absent or not positive), element 1 equal to 1.0 adds the constant term.
FitResult DescribeModel(int index, std::span<const double> options, ModelEntry& entry);

struct RegressionStats {
  double ssr = 0.0;               // weighted sum of squared residuals
  double sst = 0.0;               // weighted total sum of squares about the weighted mean
  double residualVariance = 0.0;  // ssr / dfResidual (0 when no degree of freedom is left)
  double r2 = 0.0;
  double adjustedR2 = 0.0;
  double f = 0.0;             // regression F statistic, dfModel and dfResidual degrees
  double fProbability = 1.0;  // P(F' >= f) under the null hypothesis
  int dfModel = 0;            // parameters - 1
  int dfResidual = 0;         // points - parameters
};

struct CatalogueFit {
  int model = kModelLinear;
  std::span<const double> options;
  int varianceModel = 0;          // 0 "Constant" (unweighted) .. 5 "Power"
  std::span<const double> theta;  // variance parameters, theta[0] = θ1
  std::span<const double> x;      // points 1..n
  std::span<const double> y;      // points 1..n
  int n = 0;
  bool estimate = true;
  int maxIter = 1000;
  double tol = 0.001;
  std::span<const double> lower;  // slots of the model
  std::span<const double> upper;
};

// b (in/out) holds the model's slots; v covers them (resized when too small) and ends scaled by
// the residual variance; yhat[1..n] and s[1..n] receive the fitted values and the residual
// standard deviation. Fitted values and statistics are written only when the result is 0.
// summary, when given, tells how the refinement went (empty when none ran).
FitResult FitCatalogueModel(const CatalogueFit& fit, std::span<double> b, Matrix& v,
                            std::span<double> yhat, std::span<double> s, RegressionStats& stats,
                            const FitSettings& settings = {}, FitSummary* summary = nullptr);

}  // namespace quellar::numerics
