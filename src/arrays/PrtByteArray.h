#pragma once
// TByteArray2, the ByteArray class: a growable array of unsigned bytes (program code travels
// in it).
#include <vector>

#include "arrays/ArrayObject.h"
#include "automation/Quellar_TLB.h"

namespace quellar::arrays {

class TByteArray2 final : public TArrayObject<BYTE, IByteArray, VT_UI1> {
 public:
  TByteArray2();
};

// The ByteArray class's create function (used by its class factory).
HRESULT CreateByteArray(REFIID riid, void** ppv);

}  // namespace quellar::arrays
