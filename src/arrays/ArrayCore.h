#pragma once
// The storage rules shared by the double and byte array objects: index checks, count changes
// that either succeed whole or change nothing, and whole-array exchange as a safe array.
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "automation/com/ComBase.h"

namespace quellar::arrays {

// No array holds more than 1 GiB: the library runs in 32-bit processes too, and a client's
// mistyped count must fail at once instead of committing gigabytes.
inline constexpr size_t kMaxStorageBytes = size_t{1} << 30;

template <class T>
constexpr size_t MaxCount() {
  return kMaxStorageBytes / sizeof(T);
}

enum class ArrayStatus { Ok, BadIndex, NegativeCount, OutOfMemory };

inline HRESULT StatusCode(ArrayStatus status) {
  switch (status) {
    case ArrayStatus::Ok:
      return S_OK;
    case ArrayStatus::BadIndex:
      return DISP_E_BADINDEX;
    case ArrayStatus::NegativeCount:
      return E_INVALIDARG;
    case ArrayStatus::OutOfMemory:
      return E_OUTOFMEMORY;
  }
  return E_UNEXPECTED;
}

inline std::string StatusText(ArrayStatus status, long long value, size_t count) {
  switch (status) {
    case ArrayStatus::BadIndex:
      return "Index " + std::to_string(value) + " is outside the array of " +
             std::to_string(count) + " items";
    case ArrayStatus::NegativeCount:
      return "Count " + std::to_string(value) + " is negative";
    case ArrayStatus::OutOfMemory:
      return "Not enough memory for " + std::to_string(value) + " items";
    default:
      return {};
  }
}

template <class T>
bool ValidIndex(const std::vector<T>& values, LONG index) {
  return index >= 0 && static_cast<size_t>(index) < values.size();
}

// New items are 0; on failure the contents are unchanged.
template <class T>
ArrayStatus Resize(std::vector<T>& values, long long count) {
  if (count < 0) return ArrayStatus::NegativeCount;
  if (static_cast<unsigned long long>(count) > MaxCount<T>()) return ArrayStatus::OutOfMemory;
  try {
    values.resize(static_cast<size_t>(count), T{});
  } catch (const std::bad_alloc&) {
    return ArrayStatus::OutOfMemory;
  } catch (const std::length_error&) {
    return ArrayStatus::OutOfMemory;
  }
  return ArrayStatus::Ok;
}

// A new one-dimensional safe array (lower bound 0) holding a copy of the items.
template <class T>
ArrayStatus ToVariant(const std::vector<T>& values, VARTYPE elementType, VARIANT* out) {
  SAFEARRAY* psa = SafeArrayCreateVector(elementType, 0, static_cast<ULONG>(values.size()));
  if (!psa) return ArrayStatus::OutOfMemory;
  void* data = nullptr;
  if (FAILED(SafeArrayAccessData(psa, &data))) {
    SafeArrayDestroy(psa);
    return ArrayStatus::OutOfMemory;
  }
  if (!values.empty()) std::memcpy(data, values.data(), values.size() * sizeof(T));
  SafeArrayUnaccessData(psa);
  V_VT(out) = static_cast<VARTYPE>(VT_ARRAY | elementType);
  V_ARRAY(out) = psa;
  return ArrayStatus::Ok;
}

// Takes the items of a variant that is exactly a one-dimensional safe array of the element
// type with lower <= upper; any other variant leaves the items alone (and is no failure).
template <class T>
ArrayStatus FromVariant(std::vector<T>& values, VARTYPE elementType, const VARIANT& in) {
  if (V_VT(&in) != (VT_ARRAY | elementType)) return ArrayStatus::Ok;
  SAFEARRAY* psa = V_ARRAY(&in);
  if (!psa || SafeArrayGetDim(psa) != 1) return ArrayStatus::Ok;
  // The variant's tag must agree with the array itself before its memory is read as T.
  if (SafeArrayGetElemsize(psa) != sizeof(T)) return ArrayStatus::Ok;
  VARTYPE stored = VT_EMPTY;
  if (SUCCEEDED(SafeArrayGetVartype(psa, &stored)) && stored != elementType) return ArrayStatus::Ok;
  LONG lower = 0, upper = 0;
  if (FAILED(SafeArrayGetLBound(psa, 1, &lower)) || FAILED(SafeArrayGetUBound(psa, 1, &upper)) ||
      lower > upper)
    return ArrayStatus::Ok;
  const long long count = static_cast<long long>(upper) - lower + 1;
  void* data = nullptr;
  if (FAILED(SafeArrayAccessData(psa, &data)) || !data) return ArrayStatus::Ok;
  ArrayStatus status = ArrayStatus::Ok;
  const T* first = static_cast<const T*>(data);
  if (static_cast<unsigned long long>(count) > MaxCount<T>()) {
    status = ArrayStatus::OutOfMemory;
  } else if (static_cast<size_t>(count) <= values.capacity()) {
    values.assign(first, first + count);  // no allocation, cannot fail
  } else {
    try {
      std::vector<T> copy(first, first + count);
      values.swap(copy);
    } catch (const std::bad_alloc&) {
      status = ArrayStatus::OutOfMemory;
    } catch (const std::length_error&) {
      status = ArrayStatus::OutOfMemory;
    }
  }
  SafeArrayUnaccessData(psa);
  return status;
}

}  // namespace quellar::arrays
