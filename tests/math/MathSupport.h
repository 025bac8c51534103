#pragma once
// A library DoubleArray by value and a client's event sink, shared by the math tests and bench.
#include <functional>
#include <utility>
#include <vector>

#include "arrays/PrtArray.h"
#include "numerics/PrtMath.h"
#include "support/ClientObject.h"

namespace quellar::test {

class Array {
 public:
  explicit Array(const std::vector<double>& values = {}) {
    arrays::CreateDoubleArray(IID_IDoubleArray, reinterpret_cast<void**>(&p_));
    Set(values);
  }
  ~Array() { p_->Release(); }
  Array(const Array&) = delete;
  Array& operator=(const Array&) = delete;
  operator IDoubleArray*() const { return p_; }
  void Set(const std::vector<double>& values) {
    p_->put_Count(static_cast<LONG>(values.size()));
    for (size_t i = 0; i < values.size(); ++i) p_->put_Item(static_cast<LONG>(i), values[i]);
  }

 private:
  IDoubleArray* p_ = nullptr;
};

// Items of an Array by value too (a template would not convert it).
inline std::vector<double> Values(IDoubleArray* a) {
  return Items<double>(a);
}

// A client's event sink: handler(x, Coeffs, Derivs) gives the value or sets *status.
class TSink final : public TClientObject<> {
 public:
  using Handler = std::function<double(double x, IDoubleArray* c, IDoubleArray* d, HRESULT* hr)>;
  explicit TSink(Handler handler) : handler_(std::move(handler)) {}
  long events = 0;

  bool Knows(REFIID riid) const override { return riid == DIID_IMathProcessorEvents; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO*, UINT*) override {
    ++events;
    if (id != 1 || flags != DISPATCH_METHOD || params->cArgs != 3 || !result)
      return DISP_E_BADPARAMCOUNT;
    HRESULT hr = S_OK;
    V_VT(result) = VT_R8;
    V_R8(result) = handler_(V_R8(&params->rgvarg[2]),
                            static_cast<IDoubleArray*>(V_DISPATCH(&params->rgvarg[1])),
                            static_cast<IDoubleArray*>(V_DISPATCH(&params->rgvarg[0])), &hr);
    return hr;
  }

 private:
  Handler handler_;
};

// y = c0 + c1 x with its derivatives.
inline double Line(double x, IDoubleArray* c, IDoubleArray* d, HRESULT*) {
  double a = 0, b = 0;
  c->get_Item(0, &a), c->get_Item(1, &b);
  d->put_Item(0, 1.0), d->put_Item(1, x);
  return a + b * x;
}

}  // namespace quellar::test
