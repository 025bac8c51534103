#include "Progress.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace quellar::tool {

Progress::Progress(std::string label, int steps)
    : label_(std::move(label)),
      steps_(steps),
      terminal_(isatty(STDERR_FILENO) == 1),
      start_(std::chrono::steady_clock::now()) {}

Progress::~Progress() {
  if (drawn_ && terminal_) std::fputs("\n", stderr);
}

void Progress::Step(int k, const std::string& value) {
  constexpr int kWidth = 20;
  const int done = steps_ > 0 ? std::min(k - 1, steps_) * kWidth / steps_ : 0;
  const std::string bar = std::string(static_cast<size_t>(done), '#') +
                          std::string(static_cast<size_t>(kWidth - done), '.');
  // Steps take alike, so the time since the first says what is left.
  const auto now = std::chrono::steady_clock::now();
  if (k == 1) start_ = now;
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  char left[32] = "";
  if (k > 1 && k <= steps_)
    std::snprintf(left, sizeof left, ", %.0f s left",
                  std::ceil(elapsed / (k - 1) * (steps_ - k + 1)));
  std::fprintf(stderr, "%s%s [%s] %d/%d %s%s%s", terminal_ ? "\r\033[K" : "", label_.c_str(),
               bar.c_str(), k, steps_, value.c_str(), left, terminal_ ? "" : "\n");
  std::fflush(stderr);
  drawn_ = true;
}

ProbeWatch::ProbeWatch(std::function<void(const ProbeRun&)> onRun)
    : onRun_(std::move(onRun)), watch_([this](const QuellarTraceEvent& e) { Seen(e); }) {}

void ProbeWatch::Seen(const QuellarTraceEvent& e) {
  if (e.kind != QUELLAR_TRACE_SENT || e.length < 1) return;
  const uint8_t* b = e.bytes;
  switch (b[0]) {
    case 0x01:  // a chunk of program code at its offset (a repeated chunk takes its place)
      if (e.length < 3) return;
      code_.resize(std::min(code_.size(), static_cast<size_t>((b[1] << 8) | b[2])));
      code_.insert(code_.end(), b + 3, b + e.length);
      break;
    case 0x93:  // magnetic settings: nitrogen, coarse, precise, gain (12 bits, left aligned)
      if (e.length < 8) return;
      coarse_ = ((b[2] << 8) | b[3]) >> 4;
      gain_ = ((b[6] << 8) | b[7]) >> 4;
      break;
    case 0x02:  // control: 0x00 starts the program
      if (e.length >= 2 && b[1] == 0x00) onRun_({++k_, code_, gain_, coarse_});
      break;
    default:
      break;
  }
}

}  // namespace quellar::tool
