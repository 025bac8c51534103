#pragma once
// Registration seam: on Windows the class keys, programmatic identifiers and the type library
// go into the registry (win32/RegistrationWin32.cpp); elsewhere there is no registry and both
// succeed without writing anything (RegistrationPosix.cpp).
#include "automation/com/ComBase.h"

namespace quellar::automation {

HRESULT RegisterServer();
HRESULT UnregisterServer();

}  // namespace quellar::automation
