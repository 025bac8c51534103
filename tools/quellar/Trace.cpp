#include "Trace.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace quellar::tool {

namespace {

// The device link runs on the tool's one thread, so no lock is needed.
struct State {
  bool print = false;
  std::vector<const std::function<void(const QuellarTraceEvent&)>*> watchers;
  std::chrono::steady_clock::time_point origin = std::chrono::steady_clock::now();
};

State& Get() {
  static State state;
  return state;
}

// At most this many bytes of a frame are printed.
constexpr int kShownBytes = 24;

std::string Bytes(const QuellarTraceEvent& e) {
  std::string text;
  char hex[4];
  for (int i = 0; i < e.length && i < kShownBytes; ++i) {
    std::snprintf(hex, sizeof hex, " %02X", e.bytes[i]);
    text += hex;
  }
  if (e.length > kShownBytes) text += " ... (" + std::to_string(e.length) + " bytes)";
  return text;
}

void Print(const QuellarTraceEvent& e) {
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Get().origin)
          .count();
  std::string what;
  char code[8];
  std::snprintf(code, sizeof code, "0x%02X", e.code & 0xFF);
  switch (e.kind) {
    case QUELLAR_TRACE_SENT:
      what = std::string("sent     ") + code + ":" + Bytes(e);
      break;
    case QUELLAR_TRACE_RECEIVED:
      what = std::string("received ") + code + ":" + Bytes(e);
      break;
    case QUELLAR_TRACE_REJECTED:
      what = "rejected a frame that failed its check";
      break;
    case QUELLAR_TRACE_RETRY:
      what = "retry " + std::to_string(e.attempt) + " of 3 awaiting " + code + ":" + Bytes(e);
      break;
    case QUELLAR_TRACE_TIMED_OUT:
      what = "timed out after " + std::to_string(e.timeout_ms) + " ms awaiting " + code;
      break;
    default:
      what = std::string("line lost at ") + code;
      break;
  }
  std::fprintf(stderr, "quellar: trace %9.1f ms %s\n", ms, what.c_str());
}

void OnEvent(const QuellarTraceEvent* event, void*) {
  State& s = Get();
  if (s.print) Print(*event);
  // A watcher may not add or remove watches, so the list stays as it is during the loop.
  for (const auto* watcher : s.watchers) (*watcher)(*event);
}

void Install() {
  const State& s = Get();
  QuellarSetTraceHandler(s.print || !s.watchers.empty() ? &OnEvent : nullptr, nullptr);
}

}  // namespace

void SetTracePrinting(bool on) {
  Get().print = on;
  Install();
}

TraceWatch::TraceWatch(std::function<void(const QuellarTraceEvent&)> watcher)
    : watcher_(std::move(watcher)) {
  Get().watchers.push_back(&watcher_);
  Install();
}

TraceWatch::~TraceWatch() {
  auto& list = Get().watchers;
  list.erase(std::remove(list.begin(), list.end(), &watcher_), list.end());
  Install();
}

}  // namespace quellar::tool
