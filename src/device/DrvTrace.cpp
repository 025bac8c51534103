#include "device/DrvTrace.h"

#include <mutex>

namespace quellar::device {

namespace trace_detail {

std::atomic<bool> gTraceOn{false};

namespace {
// The handler and its context change together, so they are read under one lock (only while
// tracing is on).
std::mutex gMutex;
TDriverTraceHandler gHandler = nullptr;
void* gContext = nullptr;
}  // namespace

void Emit(const TDriverTraceEvent& event) {
  TDriverTraceHandler handler = nullptr;
  void* context = nullptr;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    handler = gHandler;
    context = gContext;
  }
  if (handler) handler(event, context);
}

}  // namespace trace_detail

void SetTraceHandler(TDriverTraceHandler handler, void* context) {
  std::lock_guard<std::mutex> lock(trace_detail::gMutex);
  trace_detail::gHandler = handler;
  trace_detail::gContext = context;
  trace_detail::gTraceOn.store(handler != nullptr, std::memory_order_relaxed);
}

}  // namespace quellar::device
