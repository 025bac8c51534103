#pragma once
// A small analyzer for tests over a pseudo-terminal: identifies itself, reports its state,
// acknowledges settings, stores uploaded chunks, runs the program and serves a sample block
// in pieces. Tests change its answers through the public fields.
#include <algorithm>
#include <functional>
#include <mutex>
#include <vector>

#include "DeviceTestUtil.h"
#include "ScriptedPeer.h"

namespace quellar::test {

class AnalyzerStandIn {
 public:
  // Identification texts as they arrive (items separated by zero bytes).
  static constexpr const char* kMasterIdReply = "04 4D 31 00 76 32 00 00";  // M1/v2
  static constexpr const char* kMagneticIdReply = "80 4D 41 47 00 00";      // MAG

  std::vector<uint8_t> program;
  std::vector<uint8_t> block;
  // When set, the block served after run k (1 for the first run).
  std::function<std::vector<uint8_t>(int run)> blockOfRun;
  uint32_t runMs = 30;
  bool mute = false;
  int runs = 0;
  // Answers a frame in its own way when it returns true.
  std::function<bool(const device::TDriverFrame&, std::vector<PeerReply>&)> intercept;

  explicit AnalyzerStandIn(PtyPair& pty)
      : peer_(pty, [this](const device::TDriverFrame& f) { return Answer(f); }) {}

  ScriptedPeer& Peer() { return peer_; }
  std::vector<uint8_t> Program() {
    std::lock_guard<std::mutex> lock(mutex_);
    return program;
  }
  // Frames the analyzer received with this code.
  std::vector<device::TDriverFrame> Received(uint8_t code) {
    std::vector<device::TDriverFrame> out;
    for (const auto& f : peer_.Received())
      if (f.Command() == code) out.push_back(f);
    return out;
  }

  // Three bytes of the quadrature layout for one sample of 10-bit values.
  static void AddSample(std::vector<uint8_t>& out, uint16_t re, uint16_t im) {
    out.push_back(static_cast<uint8_t>(re & 0xFF));
    out.push_back(static_cast<uint8_t>(((re >> 8) & 0x0F) | ((im >> 4) & 0xF0)));
    out.push_back(static_cast<uint8_t>(im & 0xFF));
  }

 private:
  std::vector<PeerReply> Answer(const device::TDriverFrame& f) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (mute) return {};
    if (std::vector<PeerReply> own; intercept && intercept(f, own)) return own;
    switch (f.Command()) {
      case 0x02:
        if (f.Size() >= 2 && f[1] == 0x01) return {{device::TDriverFrame{0x02, 0x02}}};
        ++runs;
        return {{device::TDriverFrame{0x02, 0x02}}, {device::TDriverFrame{0x02, 0x04}, runMs}};
      case 0x00:
        return {{Frame(Hex(kMasterIdReply))}};
      case 0x80:
        return {{Frame(Hex(kMagneticIdReply))}};
      case 0x81:
        return {{device::TDriverFrame{0x81, 0x00, 0xFB}}};  // 25.1
      case 0x82:
        return {{device::TDriverFrame{0x82, 0x01, 0x2C}}};  // 30.0
      case 0x83:
        return {{Frame(Hex("83 2A 10 00 20 00 30 00"))}};
      case 0x84:
        return {{device::TDriverFrame{0x84, 0x00, 0x07}}};
      case 0x04:
        return {{device::TDriverFrame{0x02, 0x00}}};
      case 0x92:
      case 0x93:
        return {{device::TDriverFrame{0x90}}};
      case 0x01: {
        const size_t offset = f.Word(1);
        if (offset == 0) program.clear();
        if (program.size() < offset + (f.Size() - 3)) program.resize(offset + (f.Size() - 3));
        std::copy(f.Data() + 3, f.Data() + f.Size(), program.begin() + offset);
        return {{device::TDriverFrame{0x00, f[1], f[2]}}};
      }
      case 0x03:
        return Pieces(blockOfRun ? blockOfRun(runs) : block);
      default:
        return {};
    }
  }

  static std::vector<PeerReply> Pieces(const std::vector<uint8_t>& data) {
    std::vector<PeerReply> out;
    for (size_t at = 0; at < data.size(); at += 200) {
      const size_t n = std::min<size_t>(200, data.size() - at);
      device::TDriverFrame piece;
      piece.Resize(static_cast<int32_t>(n + 3));
      piece[0] = 0x03;
      piece.SetWord(1, static_cast<uint16_t>(at));
      std::copy(data.begin() + at, data.begin() + at + n, piece.Data() + 3);
      out.push_back({piece});
    }
    device::TDriverFrame total{0x00, 0, 0};
    total.SetWord(1, static_cast<uint16_t>(data.size()));
    out.push_back({total});
    return out;
  }

  std::mutex mutex_;
  ScriptedPeer peer_;  // last: its thread starts once everything it uses exists
};

}  // namespace quellar::test
