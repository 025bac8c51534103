// The Win32 serial transport under Wine, against serial_peer.py (an echoing pseudo-terminal that
// Wine maps to the COM port named on the command line). Usage: transport_probe <port> <absent port>
#include <algorithm>
#include <cstdio>
#include <string>

#include "device/DrvConnection.h"
#include "platform/Clock.h"

namespace {

using quellar::device::TDriverHardwareRS232;
using quellar::platform::Elapsed;

int failures = 0;

void Check(bool condition, const std::string& what) {
  if (!condition) {
    ++failures;
    std::printf("FAIL %s\n", what.c_str());
  }
}

// Reads until count bytes arrived or the deadline passed; waits for input in between.
int ReadAll(TDriverHardwareRS232& port, uint8_t* buffer, int count, uint32_t deadlineMs) {
  auto& clock = quellar::platform::GetClock();
  const uint32_t start = clock.Ticks();
  int got = 0;
  while (got < count && Elapsed(start, clock.Ticks()) < deadlineMs) {
    port.WaitInput(100);
    got += port.Read(buffer + got, count - got);
  }
  return got;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const std::string params = std::string("DRIVER_COMPORT=") + argv[1];
  auto& clock = quellar::platform::GetClock();

  TDriverHardwareRS232 port;
  Check(!port.Open(std::string("DRIVER_COMPORT=") + argv[2]) && !port.Active(),
        "a port that is not there");
  Check(port.Open(params) && port.Active(), "open " + params);
  if (!port.Active()) return 1;

  // Every byte value crosses the line unchanged: raw 8-bit, no flow-control characters eaten.
  uint8_t all[256], back[256] = {};
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  Check(port.Write(all, 256), "write 256 bytes");
  const int got = ReadAll(port, back, 256, 5000);
  Check(got == 256, "echo of 256 bytes, got " + std::to_string(got));
  for (int i = 0; i < got; ++i) {
    if (back[i] != all[i]) {
      Check(false, "byte " + std::to_string(i) + " came back as " + std::to_string(back[i]));
      break;
    }
  }

  // Purge drops what is queued.
  Check(port.Write(all, 16) && ReadAll(port, back, 1, 2000) == 1, "echo queued");
  clock.Sleep(300);
  port.Purge();
  Check(port.Read(back, 64) == 0, "nothing to read after Purge");

  // A wait without input never outlasts its bound. (Under Wine the event wait on a
  // pseudo-terminal is cancelled at once, so the waits may come back early.)
  const uint32_t start = clock.Ticks();
  uint32_t longest = 0;
  while (Elapsed(start, clock.Ticks()) < 1000) {
    const uint32_t before = clock.Ticks();
    port.WaitInput(300);
    longest = std::max(longest, Elapsed(before, clock.Ticks()));
  }
  Check(longest < 1500, "WaitInput(300) took " + std::to_string(longest) + " ms");
  Check(port.Read(back, 64) == 0, "Read with nothing queued gives 0 at once");

  port.Close();
  Check(!port.Active() && !port.Write(all, 1), "no write on a closed port");
  TDriverHardwareRS232 second;
  Check(second.Open(params), "open again once released");
  Check(second.Write(all + 65, 1) && ReadAll(second, back, 1, 3000) == 1 && back[0] == 65,
        "echo after reopening");
  second.Close();
  std::printf(failures ? "%d failure(s)\n" : "PASS transport_probe\n", failures);
  return failures ? 1 : 0;
}
