#include "numerics/PrtMath.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "arrays/PrtArray.h"
#include "numerics/fourier_arrays.h"
#include "numerics/models/catalogue.h"

namespace quellar::math {

namespace {
constexpr Tag kTagFFT = "{AEEE47BC-D0EF-4C95-9023-2BDC1B15391A}";
constexpr Tag kTagFFTPower = "{30CBF4BC-890F-4447-BED0-29575DC0FA4D}";
constexpr Tag kTagFFTShift = "{C7103AD1-C999-43A3-B43C-CC342ECF9126}";
constexpr Tag kTagRegressionExp = "{A059B15D-4A85-4E35-BCF1-E7A00B056D0C}";
constexpr Tag kTagRegressionExpConst = "{AB9E0400-D195-42BC-A1F8-54F937C2D4E3}";
constexpr Tag kTagRegressionLinear = "{E6F70C82-B6DD-42BA-AED1-0EE1C096DFDD}";
constexpr Tag kTagRegressionPower = "{232292C6-7F14-4290-A136-1ACF9E76F342}";
constexpr Tag kTagRegressionHill = "{0FD4522A-BC85-45D5-B2E3-11BC505D14A1}";
constexpr Tag kTagRegressionCustom = "{7F69CC75-B960-4D61-AD47-0BEDF4A9CC80}";
constexpr Tag kTagCreate = "{14C62474-3F74-44F4-8F14-74B3F6F22B19}";
constexpr Tag kTagSinkChanged = "{559A8322-7327-4D51-BF49-FFFF8D664738}";
constexpr Tag kTagEvaluateCustomModel = "{070B0DC6-9DE2-4B9F-A0C6-2DD66A0E604E}";
constexpr Tag kTagEnumConnectionPoints = "{B57376F3-DE68-4330-B743-E548778D4C9D}";
constexpr Tag kTagFindConnectionPoint = "{72A12E37-20A3-4173-994C-F7BFE06F0CB1}";
constexpr Tag kTagGetSafety = "{E5CC3FF4-AC60-4542-957F-3660BEB74552}";
constexpr Tag kTagSetSafety = "{BFCF339E-93F8-416B-90FA-110C9D469729}";

using numerics::FitResult;
using numerics::Vector;

constexpr int kEventCoeffs = 5;  // the coefficients (and derivatives) the client sees
constexpr double kBound = 1e6;   // bounds of every slot of a built-in regression

void Check(HRESULT hr, const char* call) {
  if (FAILED(hr)) Raise<EQuellarError>(std::string("Array call ") + call + " failed", hr);
}

long CountOf(IDoubleArray* array) {
  LONG count = 0;
  Check(array->get_Count(&count), "Count");
  return count;
}

// The array's own storage when it is one of ours, otherwise nothing.
std::vector<double>* StorageOf(IDoubleArray* array) {
  IDoubleArrayData* data = nullptr;
  if (FAILED(array->QueryInterface(IID_IDoubleArrayData, reinterpret_cast<void**>(&data))) || !data)
    return nullptr;
  std::vector<double>* values = nullptr;
  const HRESULT hr = data->GetValues(&values);
  data->Release();
  Check(hr, "GetValues");
  return values;
}

// A copy of the array's items at index 1..n (index 0 unused), the numeric layer's points.
// Fits work on copies: a client handler may resize any array while the fit runs.
Vector Points(IDoubleArray* array, long n) {
  Vector out(static_cast<size_t>(n) + 1, 0.0);
  if (const std::vector<double>* values = StorageOf(array)) {
    if (values->size() < static_cast<size_t>(n)) Raise<EQuellarError>("Array changed its count");
    std::copy(values->begin(), values->begin() + n, out.begin() + 1);
    return out;
  }
  for (long i = 0; i < n; ++i) Check(array->get_Item(i, &out[static_cast<size_t>(i) + 1]), "Item");
  return out;
}

// The first n items as slots 0..n-1.
Vector Slots(IDoubleArray* array, long n) {
  Vector points = Points(array, n);
  return Vector(points.begin() + 1, points.end());
}

void Store(IDoubleArray* array, std::span<const double> values) {
  for (size_t i = 0; i < values.size(); ++i)
    Check(array->put_Item(static_cast<LONG>(i), values[i]), "Item put");
}

IDoubleArray* NewArray(long count) {
  IDoubleArray* array = nullptr;
  Check(arrays::CreateDoubleArray(IID_IDoubleArray, reinterpret_cast<void**>(&array)), "create");
  const HRESULT hr = array->put_Count(count);
  if (FAILED(hr)) array->Release();
  Check(hr, "Count put");
  return array;
}

// The event's result as a double, as automation coerces numbers.
double ResultValue(const VARIANT& v) {
  switch (V_VT(&v)) {
    case VT_R8:
      return V_R8(&v);
    case VT_R4:
      return V_R4(&v);
    case VT_I1:
      return V_I1(&v);
    case VT_I2:
      return V_I2(&v);
    case VT_I4:
      return V_I4(&v);
    case VT_I8:
      return static_cast<double>(V_I8(&v));
    case VT_UI1:
      return V_UI1(&v);
    case VT_UI2:
      return V_UI2(&v);
    case VT_UI4:
      return V_UI4(&v);
    case VT_UI8:
      return static_cast<double>(V_UI8(&v));
    case VT_INT:
      return V_INT(&v);
    case VT_UINT:
      return V_UINT(&v);
    case VT_BOOL:
      return V_BOOL(&v) ? -1.0 : 0.0;
    case VT_EMPTY:
      return 0.0;
    case VT_R8 | VT_BYREF:
      if (V_R8REF(&v)) return *V_R8REF(&v);
      break;
    default:
      break;
  }
  Raise<EQuellarError>("GetExpressionValue returned no number", DISP_E_TYPEMISMATCH);
}

// Holds one reference for a scope.
struct Held {
  IUnknown* p;
  explicit Held(IUnknown* unknown) : p(unknown) {
    if (p) p->AddRef();
  }
  ~Held() {
    if (p) p->Release();
  }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
};
}  // namespace

struct TQuellarMath::Builtin {
  int model;
  double options[2];
  int count;     // Coeffs.Count
  int slots[3];  // Coeffs[i] := b[slots[i]]
};

TQuellarMath::TQuellarMath()
    : TAutoObject("Quellar.MathProcessor"),
      FConnectionPoints(this, automation::kIMathProcessorEventsDesc,
                        [this](IDispatch* sink) { SinkChanged(sink); }) {
  Guarded(kTagCreate, [&] {
    FCoeffs = NewArray(kEventCoeffs);
    FDerivs = NewArray(kEventCoeffs);
  });
}

TQuellarMath::~TQuellarMath() {
  if (FEvents) FEvents->Release();
  if (FCoeffs) FCoeffs->Release();
  if (FDerivs) FDerivs->Release();
}

void TQuellarMath::SinkChanged(IDispatch* sink) {
  Guarded(kTagSinkChanged, [&] {
    IDispatch* events = nullptr;
    if (sink &&
        FAILED(sink->QueryInterface(DIID_IMathProcessorEvents, reinterpret_cast<void**>(&events))))
      Check(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&events)), "sink");
    if (FEvents) FEvents->Release();
    FEvents = events;
  });
}

HRESULT TQuellarMath::FFT(IDoubleArray* RealIn, IDoubleArray* ImageIn, IDoubleArray* RealOut,
                          IDoubleArray* ImageOut, VARIANT_BOOL* Success) {
  if (!Success) return E_POINTER;
  *Success = VARIANT_FALSE;
  return Call(kTagFFT, [&] {
    if (fourier::FourierTransform(RealIn, ImageIn, RealOut, ImageOut, 1)) *Success = VARIANT_TRUE;
  });
}

HRESULT TQuellarMath::FFTPower(IDoubleArray* Real, IDoubleArray* Image, IDoubleArray* PowerOut,
                               VARIANT_BOOL* Success) {
  if (!Success) return E_POINTER;
  *Success = VARIANT_FALSE;
  return Call(kTagFFTPower, [&] {
    if (fourier::PowerSpectrum(Real, Image, PowerOut)) *Success = VARIANT_TRUE;
  });
}

HRESULT TQuellarMath::FFTShift(IDoubleArray* RealIn, IDoubleArray* ImageIn, IDoubleArray* RealOut,
                               IDoubleArray* ImageOut, VARIANT_BOOL* Success) {
  if (!Success) return E_POINTER;
  *Success = VARIANT_FALSE;
  return Call(kTagFFTShift, [&] {
    // An empty sequence has no spectrum to centre; like the transform, refuse it.
    if (!RealIn || CountOf(RealIn) == 0) return;
    if (fourier::CentreSpectrum(RealIn, ImageIn, RealOut, ImageOut)) *Success = VARIANT_TRUE;
  });
}

HRESULT TQuellarMath::Regression(const char* tag, const Builtin& kind, IDoubleArray* X,
                                 IDoubleArray* Y, IDoubleArray* Coeffs, VARIANT_BOOL* Success) {
  if (!Success) return E_POINTER;
  *Success = VARIANT_FALSE;
  return Call(tag, [&] {
    if (!X || !Y || !Coeffs) return;
    const long n = CountOf(X);
    if (CountOf(Y) != n) return;
    Check(Coeffs->put_Count(kind.count), "Count put");
    const Vector x = Points(X, n), y = Points(Y, n);
    numerics::CatalogueFit fit;
    fit.model = kind.model;
    fit.options = kind.options;
    fit.x = x, fit.y = y, fit.n = static_cast<int>(n);
    const Vector lower(3, -kBound), upper(3, kBound);
    fit.lower = lower, fit.upper = upper;
    Vector b(3, 0.0), yhat(x.size()), s(x.size());
    numerics::Matrix v;
    numerics::RegressionStats stats;
    if (numerics::FitCatalogueModel(fit, b, v, yhat, s, stats) != numerics::kFitOk) return;
    Vector out(static_cast<size_t>(kind.count));
    for (int i = 0; i < kind.count; ++i) out[static_cast<size_t>(i)] = b[kind.slots[i]];
    Store(Coeffs, out);
    *Success = VARIANT_TRUE;
  });
}

HRESULT TQuellarMath::RegressionExp(IDoubleArray* X, IDoubleArray* Y, IDoubleArray* Coeffs,
                                    VARIANT_BOOL* Success) {
  static const Builtin kind{numerics::kModelSumOfExponentials, {1, 0}, 2, {1, 2, 0}};
  return Regression(kTagRegressionExp, kind, X, Y, Coeffs, Success);
}

HRESULT TQuellarMath::RegressionExpConst(IDoubleArray* X, IDoubleArray* Y, IDoubleArray* Coeffs,
                                         VARIANT_BOOL* Success) {
  static const Builtin kind{numerics::kModelSumOfExponentials, {1, 1}, 3, {0, 1, 2}};
  return Regression(kTagRegressionExpConst, kind, X, Y, Coeffs, Success);
}

HRESULT TQuellarMath::RegressionLinear(IDoubleArray* X, IDoubleArray* Y, IDoubleArray* Coeffs,
                                       VARIANT_BOOL* Success) {
  static const Builtin kind{numerics::kModelLinear, {0, 0}, 2, {0, 1, 0}};
  return Regression(kTagRegressionLinear, kind, X, Y, Coeffs, Success);
}

HRESULT TQuellarMath::RegressionPower(IDoubleArray* X, IDoubleArray* Y, IDoubleArray* Coeffs,
                                      VARIANT_BOOL* Success) {
  static const Builtin kind{numerics::kModelPower, {0, 0}, 2, {0, 1, 0}};
  return Regression(kTagRegressionPower, kind, X, Y, Coeffs, Success);
}

HRESULT TQuellarMath::RegressionHill(IDoubleArray* X, IDoubleArray* Y, IDoubleArray* Coeffs,
                                     VARIANT_BOOL* Success) {
  static const Builtin kind{numerics::kModelHill, {0, 0}, 3, {0, 1, 2}};
  return Regression(kTagRegressionHill, kind, X, Y, Coeffs, Success);
}

double TQuellarMath::EvaluateCustomModel(const EventArrays& arrays, int count, double x,
                                         std::span<const double> b, std::span<double> d) {
  return Guarded(kTagEvaluateCustomModel, [&]() -> double {
    // A handler that disconnected itself: no value, so the fit fails instead of fitting zeros.
    if (!FEvents) return std::numeric_limits<double>::quiet_NaN();
    const int seen = std::min(count, kEventCoeffs);
    std::vector<double>& coeffs = *arrays.coeffValues;
    std::vector<double>& derivs = *arrays.derivValues;
    // The handler may have resized them last time; the client always sees five items.
    if (coeffs.size() != kEventCoeffs) coeffs.assign(kEventCoeffs, 0.0);
    if (derivs.size() != kEventCoeffs) derivs.assign(kEventCoeffs, 0.0);
    for (int j = 0; j < seen; ++j) coeffs[static_cast<size_t>(j)] = b[static_cast<size_t>(j)];

    VARIANT args[3];  // positional arguments, last first
    V_VT(&args[2]) = VT_R8;
    V_R8(&args[2]) = x;
    V_VT(&args[1]) = VT_DISPATCH;
    V_DISPATCH(&args[1]) = arrays.coeffs;
    V_VT(&args[0]) = VT_DISPATCH;
    V_DISPATCH(&args[0]) = arrays.derivs;
    DISPPARAMS params{args, nullptr, 3, 0};
    VARIANT result;
    VariantInit(&result);
    IDispatch* sink = FEvents;
    Held hold(sink);  // the handler may disconnect itself while it runs
    const HRESULT hr = sink->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                                    &result, nullptr, nullptr);
    if (FAILED(hr)) {
      VariantClear(&result);
      Raise<EQuellarError>("GetExpressionValue failed", hr);
    }
    double y = 0.0;
    try {
      y = ResultValue(result);
    } catch (...) {
      VariantClear(&result);
      throw;
    }
    VariantClear(&result);
    if (!d.empty()) {
      if (derivs.size() < static_cast<size_t>(seen))
        Raise<EQuellarError>("GetExpressionValue left Derivs with too few items");
      for (int j = 0; j < seen; ++j) d[static_cast<size_t>(j)] = derivs[static_cast<size_t>(j)];
    }
    return y;
  });
}

HRESULT TQuellarMath::RegressionCustom(IDoubleArray* X, IDoubleArray* Y, LONG Method,
                                       LONG CoeffsCount, IDoubleArray* MinCoeffs,
                                       IDoubleArray* MaxCoeffs, IDoubleArray* Coeffs,
                                       VARIANT_BOOL* Success) {
  if (!Success) return E_POINTER;
  *Success = VARIANT_FALSE;
  return Call(kTagRegressionCustom, [&] {
    if (!FEvents || !X || !Y || !Coeffs || !MinCoeffs || !MaxCoeffs) return;
    const long n = CountOf(X);
    const long k = CoeffsCount;
    if (CountOf(Y) != n || k < 1 || CountOf(Coeffs) < k || CountOf(MinCoeffs) < k ||
        CountOf(MaxCoeffs) < k)
      return;
    // Only 0..4 name a method; anything else must not reach later built-in fits.
    const uint8_t method = static_cast<uint8_t>(Method & 0xFF);
    if (method > numerics::kMethodMetropolisHastings) return;
    const Vector x = Points(X, n), y = Points(Y, n);
    const Vector lower = Slots(MinCoeffs, k), upper = Slots(MaxCoeffs, k);
    Vector b = Slots(Coeffs, k);
    numerics::SetFittingMethod(method);

    // A fit started from inside a handler gets arrays of its own, so the outer handler's
    // Coeffs and Derivs keep their values.
    IDoubleArray* coeffs = FCoeffs;
    IDoubleArray* derivs = FDerivs;
    Held holdCoeffs(coeffs), holdDerivs(derivs);
    IDoubleArray* fresh[2] = {nullptr, nullptr};
    if (customDepth_ > 0) {
      fresh[0] = coeffs = NewArray(kEventCoeffs);
      fresh[1] = derivs = NewArray(kEventCoeffs);
    }
    struct Depth {
      int& depth;
      IDoubleArray** fresh;
      ~Depth() {
        --depth;
        for (int i = 0; i < 2; ++i)
          if (fresh[i]) fresh[i]->Release();
      }
    } depth{++customDepth_, fresh};
    const EventArrays arrays{coeffs, derivs, StorageOf(coeffs), StorageOf(derivs)};
    const int count = static_cast<int>(k);

    numerics::FitProblem problem;
    problem.model = [&](double xi, std::span<const double> bi) {
      return EvaluateCustomModel(arrays, count, xi, bi, {});
    };
    problem.derivative = [&](double xi, double, std::span<const double> bi, std::span<double> di) {
      EvaluateCustomModel(arrays, count, xi, bi, di);
    };
    problem.x = x, problem.y = y, problem.n = static_cast<int>(n);
    problem.lb = 0, problem.ub = count - 1;
    problem.lower = lower, problem.upper = upper;
    problem.maxIter = 800, problem.tol = 0.001;
    numerics::Matrix v;
    FitResult result = numerics::kFitOk;
    try {
      result = numerics::FitNonlinear(problem, b, v, {method, {}});
    } catch (...) {
      try {
        Store(Coeffs, b);  // the last iterate, as far as the client's array still takes it
      } catch (...) {
      }
      throw;
    }
    Store(Coeffs, b);
    if (result == numerics::kFitOk) *Success = VARIANT_TRUE;
  });
}

HRESULT TQuellarMath::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
  if (ppEnum) *ppEnum = nullptr;
  return Call(kTagEnumConnectionPoints, [] { return E_NOTIMPL; });
}

HRESULT TQuellarMath::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
  return Call(kTagFindConnectionPoint, [&] { return FConnectionPoints.Find(riid, ppCP); });
}

HRESULT TQuellarMath::GetInterfaceSafetyOptions(REFIID, DWORD* pdwSupportedOptions,
                                                DWORD* pdwEnabledOptions) {
  if (!pdwSupportedOptions || !pdwEnabledOptions) return E_POINTER;
  return Call(kTagGetSafety, [&] {
    *pdwSupportedOptions = *pdwEnabledOptions =
        INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;
  });
}

HRESULT TQuellarMath::SetInterfaceSafetyOptions(REFIID, DWORD, DWORD) {
  return Call(kTagSetSafety, [] { return E_NOTIMPL; });
}

HRESULT CreateMathProcessor(REFIID riid, void** ppv) {
  return automation::CreateAndQuery<TQuellarMath>(riid, ppv);
}

}  // namespace quellar::math
