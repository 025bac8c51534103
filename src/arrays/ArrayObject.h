#pragma once
// The members that the double and byte array objects share (Item, Count, AsVariant, CopyFrom),
// written once over the element type; each class passes its own location tags.
#include <vector>

#include "arrays/ArrayCore.h"
#include "automation/AutoObject.h"

namespace quellar::arrays {

struct ArrayTags {
  Tag getItem, putItem, getCount, putCount, getAsVariant, putAsVariant, copyFrom;
};

template <class T, class Itf, VARTYPE ElementType, class... Extra>
class TArrayObject : public automation::TAutoObject<Itf, Extra...> {
  using Base = automation::TAutoObject<Itf, Extra...>;

 public:
  HRESULT STDMETHODCALLTYPE get_Item(LONG Ind, T* Value) override {
    if (!Value) return E_POINTER;
    *Value = 0;
    return this->Call(tags_.getItem, [&]() -> HRESULT {
      if (!ValidIndex(values_, Ind)) return BadIndex(Ind);
      *Value = values_[static_cast<size_t>(Ind)];
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE put_Item(LONG Ind, T Value) override {
    return this->Call(tags_.putItem, [&]() -> HRESULT {
      if (!ValidIndex(values_, Ind)) return BadIndex(Ind);
      values_[static_cast<size_t>(Ind)] = Value;
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE get_Count(LONG* Value) override {
    if (!Value) return E_POINTER;
    *Value = 0;
    return this->Call(tags_.getCount, [&] { *Value = static_cast<LONG>(values_.size()); });
  }

  HRESULT STDMETHODCALLTYPE put_Count(LONG Value) override {
    return this->Call(tags_.putCount, [&] { return Result(Resize(values_, Value), Value); });
  }

  HRESULT STDMETHODCALLTYPE get_AsVariant(VARIANT* Value) override {
    if (!Value) return E_POINTER;
    VariantInit(Value);
    return this->Call(tags_.getAsVariant, [&] {
      return Result(ToVariant(values_, ElementType, Value), static_cast<long long>(values_.size()));
    });
  }

  HRESULT STDMETHODCALLTYPE put_AsVariant(VARIANT Value) override {
    return this->Call(tags_.putAsVariant,
                      [&] { return Result(FromVariant(values_, ElementType, Value), 0); });
  }

  HRESULT STDMETHODCALLTYPE CopyFrom(Itf* Reference) override {
    return this->Call(tags_.copyFrom, [&]() -> HRESULT {
      if (!Reference || Reference == static_cast<Itf*>(this)) return S_OK;
      LONG count = 0;
      HRESULT hr = Reference->get_Count(&count);
      if (FAILED(hr)) return hr;
      hr = Result(Resize(values_, count), count);
      if (FAILED(hr)) return hr;
      for (LONG i = 0; i < count; ++i) {
        T value = 0;
        hr = Reference->get_Item(i, &value);
        if (FAILED(hr)) return hr;
        // The reference may have changed this object meanwhile; never write past the storage.
        if (!ValidIndex(values_, i)) return BadIndex(i);
        values_[static_cast<size_t>(i)] = value;
      }
      return S_OK;
    });
  }

 protected:
  TArrayObject(const char* progId, const ArrayTags& tags) : Base(progId), tags_(tags) {}

  std::vector<T> values_;

 private:
  HRESULT BadIndex(LONG index) const {
    return this->Failure(DISP_E_BADINDEX, StatusText(ArrayStatus::BadIndex, index, values_.size()));
  }
  HRESULT Result(ArrayStatus status, long long value) const {
    if (status == ArrayStatus::Ok) return S_OK;
    return this->Failure(StatusCode(status), StatusText(status, value, values_.size()));
  }

  const ArrayTags tags_;
};

}  // namespace quellar::arrays
