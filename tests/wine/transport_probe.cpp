// The Win32 serial transport under Wine, against serial_peer.py (an echoing pseudo-terminal that
// Wine maps to the COM port named on the command line). Usage: transport_probe <port> <absent port>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "device/DrvConnection.h"
#include "platform/Clock.h"

namespace {

using quellar::device::TDriverHardwareRS232;
using quellar::device::TDriverInputWait;

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
  while (got < count && quellar::platform::Elapsed(start, clock.Ticks()) < deadlineMs) {
    port.WaitInput(100);
    got += port.Read(buffer + got, count - got);
  }
  return got;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::printf("usage: transport_probe <port> <absent port>\n");
    return 2;
  }
  const std::string params = std::string("DRIVER_COMPORT=") + argv[1];
  auto& clock = quellar::platform::GetClock();

  TDriverHardwareRS232 absent;
  Check(!absent.Open(std::string("DRIVER_COMPORT=") + argv[2]), "a port that is not there");
  Check(!absent.Active(), "not active after a failed open");

  TDriverHardwareRS232 port;
  Check(port.Open(params), "open " + params);
  Check(port.Active(), "active after open");
  if (!port.Active()) return 1;

  // Windows holds a COM port exclusively; Wine does not enforce that, so only note it.
  TDriverHardwareRS232 second;
  if (second.Open(params)) {
    std::printf("note: a second open of the port succeeded (no exclusive serial ports here)\n");
    second.Close();
  }

  // Every byte value crosses the line unchanged: raw 8-bit, no flow-control characters eaten.
  uint8_t all[256];
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  Check(port.Write(all, 256), "write 256 bytes");
  uint8_t back[256] = {};
  const int got = ReadAll(port, back, 256, 5000);
  Check(got == 256, "echo of 256 bytes, got " + std::to_string(got));
  for (int i = 0; i < got; ++i) {
    if (back[i] != all[i]) {
      Check(false, "byte " + std::to_string(i) + " came back as " + std::to_string(back[i]));
      break;
    }
  }

  // Purge drops what is queued.
  Check(port.Write(all, 16), "write 16 bytes");
  Check(port.WaitInput(2000) == TDriverInputWait::Ready, "echo queued");
  clock.Sleep(300);
  port.Purge();
  uint8_t scratch[64];
  Check(port.Read(scratch, 64) == 0, "nothing to read after Purge");

  // A wait without input never outlasts its bound. (Ready is only a hint: under Wine the
  // event wait on a pseudo-terminal is cancelled at once, so the waits come back early.)
  const uint32_t start = clock.Ticks();
  int waits = 0;
  uint32_t longest = 0;
  while (quellar::platform::Elapsed(start, clock.Ticks()) < 1000) {
    const uint32_t before = clock.Ticks();
    port.WaitInput(300);
    const uint32_t took = quellar::platform::Elapsed(before, clock.Ticks());
    if (took > longest) longest = took;
    ++waits;
  }
  std::printf("note: %d waits of up to 300 ms in one second, the longest %u ms\n", waits,
              static_cast<unsigned>(longest));
  Check(longest < 1500, "WaitInput(300) took " + std::to_string(longest) + " ms");
  Check(port.Read(scratch, 64) == 0, "Read with nothing queued gives 0 at once");

  port.Close();
  Check(!port.Active(), "not active after Close");
  Check(!port.Write(all, 1), "no write on a closed port");
  Check(second.Open(params), "open again once released");
  Check(second.Write(all + 65, 1) && ReadAll(second, scratch, 1, 3000) == 1 && scratch[0] == 65,
        "echo after reopening");
  second.Close();

  if (failures) {
    std::printf("%d failure(s)\n", failures);
    return 1;
  }
  std::printf("PASS transport_probe\n");
  return 0;
}
