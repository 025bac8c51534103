#pragma once
// Millisecond time for every layer that waits: a 32-bit wrapping tick counter and a sleep.
// Tests swap in a VirtualClock so time-outs and pauses run instantly and deterministically.
#include <atomic>
#include <cstdint>

namespace quellar::platform {

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since an arbitrary origin; wraps at 2^32, so compare only by Elapsed().
  virtual uint32_t Ticks() = 0;
  // Sleeps at least ms milliseconds; 0 yields the processor.
  virtual void Sleep(uint32_t ms) = 0;
};

// Unsigned difference of two tick counts: correct across one wrap of the counter.
inline uint32_t Elapsed(uint32_t since, uint32_t now) {
  return now - since;
}

Clock& SystemClock();
// The clock in force: the system clock unless a test installed another one.
Clock& GetClock();
// Installs a replacement clock process-wide; nullptr restores the system clock.
void SetClock(Clock* clock);

// Time that moves only when someone sleeps on it or a test advances it.
class VirtualClock : public Clock {
 public:
  explicit VirtualClock(uint32_t start = 0) : now_(start) {}
  uint32_t Ticks() override { return now_.load(); }
  void Sleep(uint32_t ms) override { now_.fetch_add(ms == 0 ? 1 : ms); }
  void Advance(uint32_t ms) { now_.fetch_add(ms); }

 private:
  std::atomic<uint32_t> now_;
};

// Installs a clock for the lifetime of the scope (tests).
class ScopedClock {
 public:
  explicit ScopedClock(Clock& clock) { SetClock(&clock); }
  ~ScopedClock() { SetClock(nullptr); }
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;
};

}  // namespace quellar::platform
