#pragma once
// The virtual analyzer's side of the serial line: cuts the host's bytes into frames with the
// library's frame codec, answers every command of the command set through a TSimAnalyzer,
// and times each answer on the analyzer's time line (optionally at the line speed, with
// faults on request). It works on any byte stream: callers hand in bytes with the time they
// were written and take out the bytes whose time has come.
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <string>
#include <vector>

#include "device/DrvFrame.h"
#include "sim/SimAnalyzer.h"

namespace quellar::sim {

constexpr int64_t kSimNever = std::numeric_limits<int64_t>::max();

struct TSimLine {
  // Each byte takes its time on the line (10 bits: start, 8 data, stop) in both directions.
  bool Pace = false;
  int32_t BitsPerSecond = 115200;
  // From the last byte of a command to the first of its answer.
  int64_t LatencyNs = 0;
  // Bytes of the sample block per 0x03 piece.
  int32_t PieceSize = 1024;

  int64_t NsPerByte() const { return Pace ? 10'000'000'000LL / BitsPerSecond : 0; }
};

enum class TSimFaultAction { Drop, Corrupt, Delay, Duplicate, Stray };

// One fault on the answers with a code (or any), each time or on the n-th only.
struct TSimFaultRule {
  TSimFaultAction Action = TSimFaultAction::Drop;
  int32_t Code = -1;  // -1: any answer
  int32_t Nth = 0;    // 0: every matching answer; n: only the n-th (from 1)
  int64_t Value = 0;  // Delay: milliseconds; Stray: the code of the stray frame
  int32_t Seen = 0;   // matching answers so far
};

struct TSimFaults {
  std::vector<TSimFaultRule> Rules;
  bool Mute = false;                 // answers nothing
  int64_t HangUpAfterSent = -1;      // bytes sent, then the line is dead (-1: never)
  int64_t HangUpAfterReceived = -1;  // bytes received, likewise
};

// Adds one fault written as text to faults; false with the reason otherwise:
//   drop:CODE[#N]  corrupt:CODE[#N]  duplicate:CODE[#N]  delay:CODE[#N]=MS
//   stray:CODE[#N]=STRAYCODE  (an unsolicited frame [STRAYCODE 00 00] just before the answer)
//   hangup=N (after N bytes sent)  hangup-in=N (after N bytes received)  mute
// CODE is an answer code (0x.. or decimal) or *; N counts that code's answers from 1.
bool ParseSimFault(const std::string& text, TSimFaults& faults, std::string& error);
std::string SimFaultHelp();

// Bytes on one direction of the line, each with the time it is through.
class TSimLineQueue {
 public:
  // The bytes follow whatever is queued; with nsPerByte > 0 each takes that long.
  void Push(const uint8_t* bytes, size_t count, int64_t at, int64_t nsPerByte);
  // Takes up to most bytes that are through by now; times (optional) gets each one's time.
  size_t Take(uint8_t* out, size_t most, int64_t now, int64_t* times = nullptr);
  size_t Ready(int64_t now) const;
  // When the next byte is through; kSimNever when none is queued.
  int64_t Next() const;
  void Clear() { segments_.clear(); }

 private:
  struct Segment {
    std::vector<uint8_t> bytes;
    size_t taken;
    int64_t start;
    int64_t perByte;
    int64_t Time(size_t i) const { return start + static_cast<int64_t>(i + 1) * perByte; }
  };
  std::deque<Segment> segments_;
  int64_t free_ = std::numeric_limits<int64_t>::min();
};

class TSimPeer {
 public:
  explicit TSimPeer(const TSimSample& sample = {}, const TSimLine& line = {},
                    const TSimFaults& faults = {}, int64_t now = 0);

  TSimAnalyzer& Analyzer() { return analyzer_; }
  TSimFaults& Faults() { return faults_; }
  TSimLine& Line() { return line_; }

  // Bytes the host wrote at now.
  void Input(const uint8_t* bytes, size_t count, int64_t now);
  // Bytes for the host that are due by now, at most most of them.
  size_t Output(uint8_t* buffer, size_t most, int64_t now);
  size_t Ready(int64_t now);
  // The next time something happens by itself: a byte arrives or is due, an answer is due.
  int64_t NextEvent() const;
  // Drops every answer on its way to the host.
  void Purge(int64_t now);
  bool HungUp() const { return hungUp_; }
  // The line is live again after a hang-up, with nothing on it and the byte counts at 0 (a
  // hang-up fault left in place ends it again after as many bytes).
  void Reconnect();

  // Command frames received with the code (whether answered or not).
  uint32_t Received(uint8_t code) const { return received_[code]; }
  // Why the last refused upload was refused (empty when none was).
  const std::string& Refusal() const { return refusal_; }

 private:
  struct Scheduled {
    int64_t at;
    std::vector<uint8_t> bytes;
  };
  void Advance(int64_t now);
  void Handle(const device::TDriverFrame& frame, int64_t t);
  void Upload(const device::TDriverFrame& frame, int64_t t);
  void ReadBlock(int64_t t);
  void Answer(const device::TDriverFrame& frame, int64_t at);
  void Schedule(std::vector<uint8_t> bytes, int64_t at);
  void HangUp();

  TSimAnalyzer analyzer_;
  TSimLine line_;
  TSimFaults faults_;
  TSimLineQueue input_, wire_;
  std::vector<Scheduled> scheduled_;  // answers not yet due, by time
  device::TDriverFrameDecoder decoder_;
  device::TDriverFrameList frames_;
  std::vector<uint8_t> upload_;
  size_t lastChunk_ = 0;  // offset of the last chunk taken
  bool uploadRefused_ = false;
  std::string refusal_;
  std::array<uint32_t, 256> received_{};
  int64_t sent_ = 0, got_ = 0;
  bool hungUp_ = false;
};

}  // namespace quellar::sim
