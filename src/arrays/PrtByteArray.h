#pragma once
// TByteArray2, the ByteArray class: a growable array of unsigned bytes (program code travels
// in it).
#include <vector>

#include "automation/AutoObject.h"
#include "automation/Quellar_TLB.h"

namespace quellar::arrays {

class TByteArray2 final : public automation::TAutoObject<IByteArray> {
 public:
  TByteArray2();

  HRESULT STDMETHODCALLTYPE get_Item(LONG Ind, BYTE* Value) override;
  HRESULT STDMETHODCALLTYPE put_Item(LONG Ind, BYTE Value) override;
  HRESULT STDMETHODCALLTYPE get_Count(LONG* Value) override;
  HRESULT STDMETHODCALLTYPE put_Count(LONG Value) override;
  HRESULT STDMETHODCALLTYPE get_AsVariant(VARIANT* Value) override;
  HRESULT STDMETHODCALLTYPE put_AsVariant(VARIANT Value) override;
  HRESULT STDMETHODCALLTYPE CopyFrom(IByteArray* Reference) override;

 private:
  std::vector<BYTE> values_;
};

// The ByteArray class's create function (used by its class factory).
HRESULT CreateByteArray(REFIID riid, void** ppv);

}  // namespace quellar::arrays
