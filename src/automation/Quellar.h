#pragma once
// The library's exported functions. Besides the four server entry points, hosts without a
// registry create objects with QuellarCreateObject and may route error reports to their own
// handler with QuellarSetReportHandler.
#include "automation/Quellar_TLB.h"
#include "automation/com/ComBase.h"

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
STDAPI DllCanUnloadNow(void);
STDAPI DllRegisterServer(void);
STDAPI DllUnregisterServer(void);

// Creates an object of one of the four client classes, named by programmatic identifier
// ("Quellar.DoubleArray", any case) or class identifier text, and queries it for *riid.
// REGDB_E_CLASSNOTREG for any other name (internal classes included).
STDAPI QuellarCreateObject(const char* progIdOrClsid, const IID* riid, void** ppv);

// The report dialog of the host: returns nonzero for Yes (end the process), 0 for No.
// A null handler restores the default (standard error, answer No).
typedef int (*QuellarReportHandler)(const char* caption, const char* message, void* context);
extern "C" void QuellarSetReportHandler(QuellarReportHandler handler, void* context);
