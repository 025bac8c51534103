#pragma once
// The tool's side of the library's trace seam: --trace prints every event on standard error,
// and subcommands watch the events to follow a search (probe runs, settings, uploaded code) or
// to tell a port that cannot be opened from an analyzer that does not answer.
#include <functional>

#include "automation/Quellar.h"

namespace quellar::tool {

// Whether the events are printed (the global --trace option).
void SetTracePrinting(bool on);

// Sees every event while it exists.
class TraceWatch {
 public:
  explicit TraceWatch(std::function<void(const QuellarTraceEvent&)> watcher);
  ~TraceWatch();
  TraceWatch(const TraceWatch&) = delete;
  TraceWatch& operator=(const TraceWatch&) = delete;

 private:
  std::function<void(const QuellarTraceEvent&)> watcher_;
};

}  // namespace quellar::tool
