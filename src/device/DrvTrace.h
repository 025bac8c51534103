#pragma once
// The trace seam of the device link: a host may watch every frame that goes out or comes in,
// every frame dropped for a failed check, every repeated command, every wait that ran out and
// a line that went away. Off by default; while off, each place that could report costs one
// relaxed load and a branch that is never taken.
#include <atomic>
#include <cstdint>

namespace quellar::device {

enum class TDriverTraceKind : int32_t {
  Sent = 0,      // a frame written to the line (Bytes: its content, code first)
  Received = 1,  // a frame whose check held (Bytes: its content, code first)
  Rejected = 2,  // a frame that failed its check and was dropped (no bytes)
  Retry = 3,     // a command is sent again (Code: the awaited answer; Attempt: 2 or 3)
  TimedOut = 4,  // a wait for an answer ran out (Code: the awaited answer; TimeoutMs)
  // A write failed (Code, Bytes: that frame) or the line went away during a wait (Code: the
  // awaited answer).
  LineLost = 5,
};

struct TDriverTraceEvent {
  TDriverTraceKind Kind = TDriverTraceKind::Sent;
  uint8_t Code = 0;
  int32_t Length = 0;
  const uint8_t* Bytes = nullptr;  // valid during the call only
  int32_t Attempt = 0;
  uint32_t TimeoutMs = 0;
};

// Called on the thread that carries the exchange; it must not call back into the link.
using TDriverTraceHandler = void (*)(const TDriverTraceEvent& event, void* context);

// Process-wide; nullptr switches tracing off. A call in flight on another thread may still
// reach the handler that was replaced.
void SetTraceHandler(TDriverTraceHandler handler, void* context);

namespace trace_detail {
extern std::atomic<bool> gTraceOn;
void Emit(const TDriverTraceEvent& event);
}  // namespace trace_detail

inline bool TraceOn() {
  return trace_detail::gTraceOn.load(std::memory_order_relaxed);
}

inline void Trace(TDriverTraceKind kind, uint8_t code, const uint8_t* bytes = nullptr,
                  int32_t length = 0, int32_t attempt = 0, uint32_t timeoutMs = 0) {
  if (TraceOn()) [[unlikely]]
    trace_detail::Emit({kind, code, length, bytes, attempt, timeoutMs});
}

}  // namespace quellar::device
