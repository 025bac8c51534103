#pragma once
// TDoubleArray, the DoubleArray class: a growable array of doubles with statistics, and
// IDoubleArrayData, the library's own way to its storage without copying.
#include <vector>

#include "arrays/ArrayObject.h"
#include "automation/Quellar_TLB.h"

// Internal interface of TDoubleArray (not in the type library).
inline constexpr IID IID_IDoubleArrayData = {
    0x86D1D637, 0x321A, 0x4E79, {0xBA, 0x15, 0x13, 0xDC, 0x41, 0x2C, 0xD3, 0x4C}};

struct IDoubleArrayData : public IUnknown {
  // The object's item storage itself, shared with the object: writes change its items.
  virtual HRESULT STDMETHODCALLTYPE GetValues(std::vector<double>** values) = 0;
};

namespace quellar::automation {
template <>
struct InterfaceId<IDoubleArrayData> {
  static const IID& Get() { return IID_IDoubleArrayData; }
};
}  // namespace quellar::automation

namespace quellar::arrays {

// Statistics start values: a search that finds nothing strictly beyond them returns them.
inline constexpr double kMinStart = 1.7e308;
inline constexpr double kMaxStart = -1.7e308;

class TDoubleArray final : public TArrayObject<DOUBLE, IDoubleArray, VT_R8, IDoubleArrayData> {
 public:
  TDoubleArray();

  HRESULT STDMETHODCALLTYPE Mean(DOUBLE* Value) override;
  HRESULT STDMETHODCALLTYPE Sum(DOUBLE* Value) override;
  HRESULT STDMETHODCALLTYPE Max(DOUBLE* Value) override;
  HRESULT STDMETHODCALLTYPE Min(DOUBLE* Value) override;
  HRESULT STDMETHODCALLTYPE MaxIndex(LONG* Value) override;
  HRESULT STDMETHODCALLTYPE MinIndex(LONG* Value) override;

  HRESULT STDMETHODCALLTYPE GetValues(std::vector<double>** values) override;

 private:
  double Total() const;
  // Index of the strict extreme (first occurrence), -1 when nothing beats the start value.
  long MinimumIndex() const;
  long MaximumIndex() const;
};

// The DoubleArray class's create function (used by its class factory).
HRESULT CreateDoubleArray(REFIID riid, void** ppv);

}  // namespace quellar::arrays
