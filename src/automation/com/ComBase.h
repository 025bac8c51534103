#pragma once
// The one switch between the real COM and OLE headers (Windows) and our own types with the same
// widths and layouts (elsewhere). Code above this header compiles unchanged on both.
#ifdef _WIN32
#include <windows.h>
// windows.h comes first
#include <oaidl.h>
#include <objbase.h>
#include <ocidl.h>
#include <objsafe.h>
#include <oleauto.h>
#include <olectl.h>
#else
#include "automation/com/ComPosix.h"
#endif
