#include "arrays/PrtByteArray.h"

#include "arrays/ArrayCore.h"

namespace quellar::arrays {

namespace {
constexpr Tag kTagGetItem = "{16C83407-4E09-4A15-881D-8B0115E5B303}";
constexpr Tag kTagPutItem = "{74BDAA85-B6BC-43E8-8AFF-DE681F3709B2}";
constexpr Tag kTagGetCount = "{15378D8E-79E1-42F7-BCA2-2D29AA915231}";
constexpr Tag kTagPutCount = "{D024AAD7-32D8-432C-B297-E59BC88207BE}";
constexpr Tag kTagGetAsVariant = "{AB20EA3B-E7C0-475A-B7D1-37EC2E886644}";
constexpr Tag kTagPutAsVariant = "{EB095437-6702-446C-B904-7F2259453C55}";
constexpr Tag kTagCopyFrom = "{AE6F15A8-B6C5-4BCC-BECE-68B4D5CE311E}";
}  // namespace

TByteArray2::TByteArray2() : TAutoObject("Quellar.ByteArray") {}

HRESULT TByteArray2::get_Item(LONG Ind, BYTE* Value) {
  if (!Value) return E_POINTER;
  *Value = 0;
  return Call(kTagGetItem, [&]() -> HRESULT {
    if (!ValidIndex(values_, Ind))
      return Failure(DISP_E_BADINDEX, StatusText(ArrayStatus::BadIndex, Ind, values_.size()));
    *Value = values_[static_cast<size_t>(Ind)];
    return S_OK;
  });
}

HRESULT TByteArray2::put_Item(LONG Ind, BYTE Value) {
  return Call(kTagPutItem, [&]() -> HRESULT {
    if (!ValidIndex(values_, Ind))
      return Failure(DISP_E_BADINDEX, StatusText(ArrayStatus::BadIndex, Ind, values_.size()));
    values_[static_cast<size_t>(Ind)] = Value;
    return S_OK;
  });
}

HRESULT TByteArray2::get_Count(LONG* Value) {
  if (!Value) return E_POINTER;
  *Value = 0;
  return Call(kTagGetCount, [&] { *Value = static_cast<LONG>(values_.size()); });
}

HRESULT TByteArray2::put_Count(LONG Value) {
  return Call(kTagPutCount, [&]() -> HRESULT {
    const ArrayStatus status = Resize(values_, Value);
    if (status != ArrayStatus::Ok)
      return Failure(StatusCode(status), StatusText(status, Value, values_.size()));
    return S_OK;
  });
}

HRESULT TByteArray2::get_AsVariant(VARIANT* Value) {
  if (!Value) return E_POINTER;
  VariantInit(Value);
  return Call(kTagGetAsVariant, [&]() -> HRESULT {
    const ArrayStatus status = ToVariant(values_, VT_UI1, Value);
    if (status != ArrayStatus::Ok)
      return Failure(StatusCode(status), StatusText(status, values_.size(), values_.size()));
    return S_OK;
  });
}

HRESULT TByteArray2::put_AsVariant(VARIANT Value) {
  return Call(kTagPutAsVariant, [&]() -> HRESULT {
    const ArrayStatus status = FromVariant(values_, VT_UI1, Value);
    if (status != ArrayStatus::Ok)
      return Failure(StatusCode(status), StatusText(status, 0, values_.size()));
    return S_OK;
  });
}

HRESULT TByteArray2::CopyFrom(IByteArray* Reference) {
  return Call(kTagCopyFrom, [&]() -> HRESULT {
    if (!Reference || Reference == static_cast<IByteArray*>(this)) return S_OK;
    LONG count = 0;
    HRESULT hr = Reference->get_Count(&count);
    if (FAILED(hr)) return hr;
    const ArrayStatus status = Resize(values_, count);
    if (status != ArrayStatus::Ok)
      return Failure(StatusCode(status), StatusText(status, count, values_.size()));
    for (LONG i = 0; i < count; ++i) {
      BYTE value = 0;
      hr = Reference->get_Item(i, &value);
      if (FAILED(hr)) return hr;
      if (!ValidIndex(values_, i))
        return Failure(DISP_E_BADINDEX, StatusText(ArrayStatus::BadIndex, i, values_.size()));
      values_[static_cast<size_t>(i)] = value;
    }
    return S_OK;
  });
}

HRESULT CreateByteArray(REFIID riid, void** ppv) {
  return automation::CreateAndQuery<TByteArray2>(riid, ppv);
}

}  // namespace quellar::arrays
