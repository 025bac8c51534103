#pragma once
// TQuellarMath, the MathProcessor class: Fourier transforms and curve fits over DoubleArray
// objects, and fits of the client's own model through the GetExpressionValue event.
#include <span>
#include <vector>

#include "automation/ConnectionPoint.h"

namespace quellar::math {

class TQuellarMath final
    : public automation::TAutoObject<IMathProcessor, IConnectionPointContainer, IObjectSafety> {
 public:
  TQuellarMath();
  ~TQuellarMath() override;

  HRESULT STDMETHODCALLTYPE FFT(IDoubleArray* RealIn, IDoubleArray* ImageIn, IDoubleArray* RealOut,
                                IDoubleArray* ImageOut, VARIANT_BOOL* Success) override;
  HRESULT STDMETHODCALLTYPE FFTPower(IDoubleArray* Real, IDoubleArray* Image,
                                     IDoubleArray* PowerOut, VARIANT_BOOL* Success) override;
  HRESULT STDMETHODCALLTYPE FFTShift(IDoubleArray* RealIn, IDoubleArray* ImageIn,
                                     IDoubleArray* RealOut, IDoubleArray* ImageOut,
                                     VARIANT_BOOL* Success) override;
  HRESULT STDMETHODCALLTYPE RegressionExp(IDoubleArray* X, IDoubleArray* Y, IDoubleArray* Coeffs,
                                          VARIANT_BOOL* Success) override;
  HRESULT STDMETHODCALLTYPE RegressionExpConst(IDoubleArray* X, IDoubleArray* Y,
                                               IDoubleArray* Coeffs,
                                               VARIANT_BOOL* Success) override;
  HRESULT STDMETHODCALLTYPE RegressionLinear(IDoubleArray* X, IDoubleArray* Y, IDoubleArray* Coeffs,
                                             VARIANT_BOOL* Success) override;
  HRESULT STDMETHODCALLTYPE RegressionPower(IDoubleArray* X, IDoubleArray* Y, IDoubleArray* Coeffs,
                                            VARIANT_BOOL* Success) override;
  HRESULT STDMETHODCALLTYPE RegressionHill(IDoubleArray* X, IDoubleArray* Y, IDoubleArray* Coeffs,
                                           VARIANT_BOOL* Success) override;
  HRESULT STDMETHODCALLTYPE RegressionCustom(IDoubleArray* X, IDoubleArray* Y, LONG Method,
                                             LONG CoeffsCount, IDoubleArray* MinCoeffs,
                                             IDoubleArray* MaxCoeffs, IDoubleArray* Coeffs,
                                             VARIANT_BOOL* Success) override;

  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

  HRESULT STDMETHODCALLTYPE GetInterfaceSafetyOptions(REFIID riid, DWORD* pdwSupportedOptions,
                                                      DWORD* pdwEnabledOptions) override;
  HRESULT STDMETHODCALLTYPE SetInterfaceSafetyOptions(REFIID riid, DWORD dwOptionSetMask,
                                                      DWORD dwEnabledOptions) override;

  // The pair of arrays one custom fit hands to the event: FCoeffs and FDerivs, or a fresh pair
  // for a fit started from inside a handler.
  struct EventArrays {
    IDoubleArray* coeffs = nullptr;
    IDoubleArray* derivs = nullptr;
    std::vector<double>* coeffValues = nullptr;
    std::vector<double>* derivValues = nullptr;
  };

 private:
  // One built-in regression: catalogue model with options, coefficient count, and the order in
  // which the fitted slots go into Coeffs.
  struct Builtin;
  HRESULT Regression(const char* tag, const Builtin& kind, IDoubleArray* X, IDoubleArray* Y,
                     IDoubleArray* Coeffs, VARIANT_BOOL* Success);
  // Raises GetExpressionValue for x with the coefficient slots b (the first count of them,
  // at most 5) and reads the derivatives into d when d is not empty.
  double EvaluateCustomModel(const EventArrays& arrays, int count, double x,
                             std::span<const double> b, std::span<double> d);
  void SinkChanged(IDispatch* sink);

  automation::TSingleConnectionPoint FConnectionPoints;
  IDispatch* FEvents = nullptr;
  IDoubleArray* FCoeffs = nullptr;
  IDoubleArray* FDerivs = nullptr;
  int customDepth_ = 0;  // custom fits running on this object (a handler may start another)
};

// The MathProcessor class's create function (used by its class factory).
HRESULT CreateMathProcessor(REFIID riid, void** ppv);

}  // namespace quellar::math
