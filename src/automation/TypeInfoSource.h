#pragma once
// Type information seam: on Windows the interfaces' ITypeInfo comes from the type library
// embedded in the DLL (win32/TypeInfoWin32.cpp); elsewhere there is none and late binding
// works from the generated member tables alone (TypeInfoSourcePosix.cpp).
#include "automation/com/ComBase.h"

namespace quellar::automation {

// The type information of one interface of the library; E_NOTIMPL where there is none.
HRESULT LoadTypeInfo(REFIID iid, ITypeInfo** info);

}  // namespace quellar::automation
