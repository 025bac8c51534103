#include "sim/SimTransport.h"

#include <algorithm>

#include "platform/Clock.h"

namespace quellar::sim {

TSimTransport::TSimTransport(const TSimSample& sample, const TSimLine& line,
                             const TSimFaults& faults)
    : peer_(sample, line, faults, 0), ticks_(platform::GetClock().Ticks()) {}

// Accumulated from tick differences, so the 32-bit counter may wrap any number of times.
int64_t TSimTransport::Now() {
  const uint32_t ticks = platform::GetClock().Ticks();
  elapsedMs_ += platform::Elapsed(ticks_, ticks);
  ticks_ = ticks;
  return elapsedMs_ * 1'000'000;
}

// Opening anew after a hang-up is a new line to the same analyzer.
bool TSimTransport::Open(const std::string&) {
  if (peer_.HungUp()) peer_.Reconnect();
  open_ = true;
  return true;
}

void TSimTransport::Purge() {
  if (open_) peer_.Purge(Now());
}

int32_t TSimTransport::Read(uint8_t* buffer, int32_t count) {
  if (!open_ || count <= 0) return 0;
  return static_cast<int32_t>(peer_.Output(buffer, static_cast<size_t>(count), Now()));
}

bool TSimTransport::Write(const uint8_t* buffer, int32_t count) {
  if (!open_ || peer_.HungUp()) return false;
  if (count > 0) peer_.Input(buffer, static_cast<size_t>(count), Now());
  return true;
}

device::TDriverInputWait TSimTransport::WaitInput(uint32_t timeoutMs) {
  using device::TDriverInputWait;
  if (!open_) return TDriverInputWait::Closed;
  int64_t now = Now();
  if (peer_.Ready(now) > 0) return TDriverInputWait::Ready;
  if (peer_.HungUp()) return TDriverInputWait::Closed;
  const int64_t next = peer_.NextEvent();
  const int64_t limit = now + int64_t{timeoutMs} * 1'000'000;
  if (next > limit) {
    platform::GetClock().Sleep(timeoutMs);
    return TDriverInputWait::TimedOut;
  }
  // Whole milliseconds, at least one, so the clock always moves on.
  const int64_t ms = std::max<int64_t>(1, (next - now + 999'999) / 1'000'000);
  platform::GetClock().Sleep(static_cast<uint32_t>(ms));
  now = Now();
  return peer_.Ready(now) > 0 ? TDriverInputWait::Ready : TDriverInputWait::TimedOut;
}

}  // namespace quellar::sim
