#pragma once
// The virtual analyzer as a transport: a device controller talks to it in-process, with no
// pseudo-terminal. Time is the platform clock's: an answer becomes readable when its time on
// the analyzer's time line has come, and WaitInput sleeps on the clock until the next one is
// due, so under a VirtualClock long programs and pauses cost nothing.
#include <cstdint>
#include <string>

#include "device/DrvConnection.h"
#include "sim/SimPeer.h"

namespace quellar::sim {

class TSimTransport final : public device::TDriverHardwareBase {
 public:
  // The analyzer is switched on now, at time 0 of its time line; the transport starts closed.
  explicit TSimTransport(const TSimSample& sample = {}, const TSimLine& line = {},
                         const TSimFaults& faults = {});

  TSimPeer& Peer() { return peer_; }
  TSimAnalyzer& Analyzer() { return peer_.Analyzer(); }
  // Nanoseconds of the platform clock since construction.
  int64_t Now();

  bool Active() override { return open_; }
  void Purge() override;
  int32_t Read(uint8_t* buffer, int32_t count) override;
  bool Write(const uint8_t* buffer, int32_t count) override;
  // Any parameter text opens the line.
  bool Open(const std::string& parameters) override;
  void Close() override { open_ = false; }
  device::TDriverInputWait WaitInput(uint32_t timeoutMs) override;

 private:
  TSimPeer peer_;
  uint32_t ticks_;
  int64_t elapsedMs_ = 0;
  bool open_ = false;
};

}  // namespace quellar::sim
