#pragma once
// Progress of a long operation on standard error: a bar redrawn in place on a terminal, one
// line per step otherwise. Steps are counted through the trace seam: each program start the
// library sends is one probe run.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Trace.h"

namespace quellar::tool {

class Progress {
 public:
  Progress(std::string label, int steps);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  // Step k (from 1) has begun; value says what it tries.
  void Step(int k, const std::string& value);

 private:
  std::string label_;
  int steps_;
  bool terminal_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point start_;
};

// What the library sent for one probe run: the code uploaded last and the last magnetic
// settings (gain and coarse bias; -1 before any).
struct ProbeRun {
  int k;  // from 1
  const std::vector<uint8_t>& code;
  int gain;
  int coarse;
};

class ProbeWatch {
 public:
  explicit ProbeWatch(std::function<void(const ProbeRun&)> onRun);

 private:
  void Seen(const QuellarTraceEvent& e);
  std::function<void(const ProbeRun&)> onRun_;
  std::vector<uint8_t> code_;
  int gain_ = -1, coarse_ = -1, k_ = 0;
  TraceWatch watch_;
};

}  // namespace quellar::tool
