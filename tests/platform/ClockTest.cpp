#include <gtest/gtest.h>

#include "platform/Clock.h"

namespace quellar::platform {

TEST(VirtualClock, SleepAdvancesAcrossTheWrapAndIsInstalledForScope) {
  VirtualClock clock(0xFFFFFF00u);
  {
    ScopedClock scope(clock);
    GetClock().Sleep(500);
    EXPECT_EQ(GetClock().Ticks(), 0x000000F4u);
    EXPECT_EQ(Elapsed(0xFFFFFF00u, GetClock().Ticks()), 500u);
  }
  EXPECT_EQ(&GetClock(), &SystemClock());
}

TEST(SystemClock, SleepWaitsAtLeastTheTimeAsked) {
  // Long enough that giving up the processor once, on a loaded machine, cannot pass for it.
  const uint32_t start = SystemClock().Ticks();
  SystemClock().Sleep(150);
  EXPECT_GE(Elapsed(start, SystemClock().Ticks()), 149u);
}

}  // namespace quellar::platform
