// Without an OLE runtime there is no type information object; late binding works from the
// generated member tables alone.
#include "automation/TypeInfoSource.h"

namespace quellar::automation {

HRESULT LoadTypeInfo(REFIID, ITypeInfo** info) {
  if (info) *info = nullptr;
  return E_NOTIMPL;
}

}  // namespace quellar::automation
