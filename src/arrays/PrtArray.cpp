#include "arrays/PrtArray.h"

namespace quellar::arrays {

namespace {
constexpr Tag kTagGetItem = "{91801F9E-55D8-414F-A446-85DA40FE3C56}";
constexpr Tag kTagPutItem = "{3CD6E87A-E32E-4CEF-8BC7-BEC7121831B8}";
constexpr Tag kTagGetCount = "{5F25FAD8-F732-4779-9D37-0CCC346CA897}";
constexpr Tag kTagPutCount = "{ECA2E2A4-49AA-425B-AC26-B071F86D7DFE}";
constexpr Tag kTagGetAsVariant = "{B030961E-582A-4194-8FB4-7145A43D4DAF}";
constexpr Tag kTagPutAsVariant = "{3D6F7C13-EEA5-45D9-BF84-A9A5F7C4A9BD}";
constexpr Tag kTagCopyFrom = "{54B59072-763A-419B-B948-4B7FB78FA78B}";
constexpr Tag kTagMean = "{D2786E79-7A3F-4348-A40B-4869AA3E02F4}";
constexpr Tag kTagSum = "{8A4A3609-9678-4A6E-88FA-261D20DCCDC9}";
constexpr Tag kTagMax = "{1143E172-6C73-48B8-9D7D-3D50693475A5}";
constexpr Tag kTagMin = "{5146BA51-B1BA-4103-9546-40AA711FD850}";
constexpr Tag kTagMaxIndex = "{E89B4492-CAED-4D25-B81B-3077BBBA0C99}";
constexpr Tag kTagMinIndex = "{1A04103C-8F91-49B5-899F-1ACF757228CE}";
constexpr Tag kTagGetValues = "{1FA806D7-8026-4004-8C56-174AE2BAA049}";
}  // namespace

TDoubleArray::TDoubleArray()
    : TArrayObject("Quellar.DoubleArray", {kTagGetItem, kTagPutItem, kTagGetCount, kTagPutCount,
                                           kTagGetAsVariant, kTagPutAsVariant, kTagCopyFrom}) {}

double TDoubleArray::Total() const {
  double sum = 0;
  for (double v : values_) sum += v;
  return sum;
}

long TDoubleArray::MinimumIndex() const {
  double current = kMinStart;
  long index = -1;
  for (size_t i = 0; i < values_.size(); ++i) {
    if (values_[i] < current) {
      current = values_[i];
      index = static_cast<long>(i);
    }
  }
  return index;
}

long TDoubleArray::MaximumIndex() const {
  double current = kMaxStart;
  long index = -1;
  for (size_t i = 0; i < values_.size(); ++i) {
    if (values_[i] > current) {
      current = values_[i];
      index = static_cast<long>(i);
    }
  }
  return index;
}

HRESULT TDoubleArray::Mean(DOUBLE* Value) {
  if (!Value) return E_POINTER;
  *Value = 0;
  return Call(kTagMean, [&] {
    if (!values_.empty()) *Value = Total() / static_cast<double>(values_.size());
  });
}

HRESULT TDoubleArray::Sum(DOUBLE* Value) {
  if (!Value) return E_POINTER;
  *Value = 0;
  return Call(kTagSum, [&] { *Value = Total(); });
}

HRESULT TDoubleArray::Max(DOUBLE* Value) {
  if (!Value) return E_POINTER;
  *Value = 0;
  return Call(kTagMax, [&] {
    const long i = MaximumIndex();
    *Value = i < 0 ? kMaxStart : values_[static_cast<size_t>(i)];
  });
}

HRESULT TDoubleArray::Min(DOUBLE* Value) {
  if (!Value) return E_POINTER;
  *Value = 0;
  return Call(kTagMin, [&] {
    const long i = MinimumIndex();
    *Value = i < 0 ? kMinStart : values_[static_cast<size_t>(i)];
  });
}

HRESULT TDoubleArray::MaxIndex(LONG* Value) {
  if (!Value) return E_POINTER;
  *Value = 0;
  return Call(kTagMaxIndex, [&] { *Value = static_cast<LONG>(MaximumIndex()); });
}

HRESULT TDoubleArray::MinIndex(LONG* Value) {
  if (!Value) return E_POINTER;
  *Value = 0;
  return Call(kTagMinIndex, [&] { *Value = static_cast<LONG>(MinimumIndex()); });
}

HRESULT TDoubleArray::GetValues(std::vector<double>** values) {
  if (!values) return E_POINTER;
  *values = nullptr;
  return Call(kTagGetValues, [&] { *values = &values_; });
}

HRESULT CreateDoubleArray(REFIID riid, void** ppv) {
  return automation::CreateAndQuery<TDoubleArray>(riid, ppv);
}

}  // namespace quellar::arrays
