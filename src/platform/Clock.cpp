#include "platform/Clock.h"

namespace quellar::platform {

namespace {
std::atomic<Clock*> g_override{nullptr};
}

Clock& GetClock() {
  Clock* c = g_override.load(std::memory_order_acquire);
  return c ? *c : SystemClock();
}

void SetClock(Clock* clock) {
  g_override.store(clock, std::memory_order_release);
}

}  // namespace quellar::platform
