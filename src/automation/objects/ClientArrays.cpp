#include "automation/objects/ClientArrays.h"

#include <algorithm>
#include <string>

#include "arrays/PrtArray.h"
#include "automation/objects/ChildObject.h"
#include "errors/Asserts.h"

namespace quellar::automation {

namespace {

void Check(HRESULT hr, const char* what) {
  CheckCall(hr, what);
}

LONG CountOf(size_t size) {
  if (size > 0x7FFFFFFF) Raise(std::string("Too many values for an array"));
  return static_cast<LONG>(size);
}

// The storage of an array of this library, or null for any other implementation.
std::vector<double>* OwnStorage(IDoubleArray* target) {
  IDoubleArrayData* data = nullptr;
  if (FAILED(target->QueryInterface(IID_IDoubleArrayData, reinterpret_cast<void**>(&data))) ||
      !data)
    return nullptr;
  std::vector<double>* values = nullptr;
  const HRESULT hr = data->GetValues(&values);
  data->Release();
  return SUCCEEDED(hr) ? values : nullptr;
}

}  // namespace

void FillDoubleArray(IDoubleArray* target, std::span<const double> values) {
  const LONG count = CountOf(values.size());
  Check(target->put_Count(count), "the array's Count");
  if (std::vector<double>* own = OwnStorage(target); own && own->size() == values.size()) {
    std::copy(values.begin(), values.end(), own->begin());
    return;
  }
  for (LONG i = 0; i < count; ++i)
    Check(target->put_Item(i, values[static_cast<size_t>(i)]), "the array's Item");
}

void FillByteArray(IByteArray* target, std::span<const uint8_t> values) {
  const LONG count = CountOf(values.size());
  Check(target->put_Count(count), "the array's Count");
  for (LONG i = 0; i < count; ++i)
    Check(target->put_Item(i, values[static_cast<size_t>(i)]), "the array's Item");
}

bool ReadByteArray(IByteArray* source, size_t most, std::vector<uint8_t>& bytes) {
  LONG count = 0;
  Check(source->get_Count(&count), "the array's Count");
  if (count < 0) Raise(std::string("The client's array has a negative Count"), E_INVALIDARG);
  if (static_cast<size_t>(count) > most) return false;
  bytes.assign(static_cast<size_t>(count), 0);
  for (LONG i = 0; i < count; ++i) {
    BYTE value = 0;
    Check(source->get_Item(i, &value), "the array's Item");
    bytes[static_cast<size_t>(i)] = value;
  }
  return true;
}

}  // namespace quellar::automation
