#pragma once
// The library's exported functions. Besides the four server entry points, hosts without a
// registry create objects with QuellarCreateObject, may route error reports to their own
// handler with QuellarSetReportHandler and may watch the device link with
// QuellarSetTraceHandler.
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

// The trace of the device link, for every controller in the process: each frame sent and
// received (its content, code first), each frame dropped for a failed check, each repeated
// command, each wait for an answer that ran out, a line that went away. Off until a handler
// is set; a null handler switches it off. The handler runs on the thread of the exchange, must
// not call the library, and may still be reached once by a call in flight on another thread
// after it was replaced.
enum QuellarTraceKind {
  QUELLAR_TRACE_SENT = 0,       // code, length, bytes: the frame written
  QUELLAR_TRACE_RECEIVED = 1,   // code, length, bytes: a frame whose check held
  QUELLAR_TRACE_REJECTED = 2,   // a frame that failed its check (no bytes)
  QUELLAR_TRACE_RETRY = 3,      // code: the awaited answer; attempt: 2 or 3; bytes: the command
  QUELLAR_TRACE_TIMED_OUT = 4,  // code: the awaited answer; timeout_ms: the window that passed
  QUELLAR_TRACE_LINE_LOST = 5,  // a write failed (that frame) or the line went away
};
typedef struct QuellarTraceEvent {
  int kind;
  int code;
  int length;
  const unsigned char* bytes;  // valid during the call only
  int attempt;
  unsigned int timeout_ms;
} QuellarTraceEvent;
typedef void (*QuellarTraceHandler)(const QuellarTraceEvent* event, void* context);
extern "C" void QuellarSetTraceHandler(QuellarTraceHandler handler, void* context);
