#pragma once
// A small analyzer on the master side of a pseudo-terminal: a thread cuts what the transport
// sends into frames with the library's own receiver and answers each one. Tests change its
// answers through the public fields.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DeviceTestUtil.h"
#include "PtyPair.h"

namespace quellar::test {

struct PeerReply {
  device::TDriverFrame frame;
  uint32_t delayMs = 0;  // real time before the answer goes out
};

class AnalyzerStandIn {
 public:
  std::vector<uint8_t> program;
  std::vector<uint8_t> block;
  // When set, the block served after run k (1 for the first run).
  std::function<std::vector<uint8_t>(int run)> blockOfRun;
  uint32_t runMs = 30;
  int runs = 0;
  // Answers a frame in its own way when it returns true.
  std::function<bool(const device::TDriverFrame&, std::vector<PeerReply>&)> intercept;

  explicit AnalyzerStandIn(PtyPair& pty) : fd_(pty.Master()), thread_([this] { Run(); }) {}
  ~AnalyzerStandIn() {
    stop_ = true;
    thread_.join();
  }
  AnalyzerStandIn(const AnalyzerStandIn&) = delete;
  AnalyzerStandIn& operator=(const AnalyzerStandIn&) = delete;

  // Paces every answer at this many bytes a second, as a serial line does (0: no pacing).
  void Pace(uint32_t bytesPerSecond) { pace_ = bytesPerSecond; }
  std::vector<uint8_t> Program() {
    std::lock_guard<std::mutex> lock(mutex_);
    return program;
  }
  // Frames received, all or those with one code.
  std::vector<device::TDriverFrame> Received(int code = -1) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<device::TDriverFrame> out;
    for (const auto& f : received_)
      if (code < 0 || f.Command() == code) out.push_back(f);
    return out;
  }

  // Three bytes of the quadrature layout for one sample of 10-bit values.
  static void AddSample(std::vector<uint8_t>& out, uint16_t re, uint16_t im) {
    out.push_back(static_cast<uint8_t>(re & 0xFF));
    out.push_back(static_cast<uint8_t>(((re >> 8) & 0x0F) | ((im >> 4) & 0xF0)));
    out.push_back(static_cast<uint8_t>(im & 0xFF));
  }

 private:
  void Run() {
    device::TDriverFrameDecoder decoder;
    while (!stop_) {
      pollfd pfd{fd_, POLLIN, 0};
      if (poll(&pfd, 1, 20) <= 0) continue;
      if (!(pfd.revents & POLLIN)) break;  // hung up
      uint8_t buf[4096];
      const ssize_t n = read(fd_, buf, sizeof buf);
      device::TDriverFrameList frames;
      if (n > 0) decoder.Feed(buf, static_cast<size_t>(n), frames);
      for (const auto& frame : frames) {
        for (const PeerReply& reply : Answer(*frame)) {
          std::this_thread::sleep_for(std::chrono::milliseconds(reply.delayMs));
          Write(device::EncodeFrame(reply.frame));
        }
      }
    }
  }

  std::vector<PeerReply> Answer(const device::TDriverFrame& f) {
    using device::TDriverFrame;
    // A command code, then its fixed answer: identification (M1/v2, MAG), 25.1 and 30.0
    // degrees, the magnetic settings, the auxiliary word, acknowledgements of settings.
    static const char kFixed[] =
        "00 04 4D 31 00 76 32 00 00|80 80 4D 41 47 00 00|81 81 00 FB|82 82 01 2C|"
        "83 83 2A 10 00 20 00 30 00|84 84 00 07|04 02 00|92 90|93 90";
    std::lock_guard<std::mutex> lock(mutex_);
    received_.push_back(f);
    if (std::vector<PeerReply> own; intercept && intercept(f, own)) return own;
    const uint8_t code = f.Command();
    std::istringstream fixed(kFixed);
    for (std::string item; std::getline(fixed, item, '|');)
      if (const auto bytes = Hex(item); bytes[0] == code)
        return {{Frame({bytes.begin() + 1, bytes.end()})}};
    if (code == 0x02 && f.Size() >= 2 && f[1] == 0x01) return {{TDriverFrame{0x02, 0x02}}};
    if (code == 0x02) {
      ++runs;
      return {{TDriverFrame{0x02, 0x02}}, {TDriverFrame{0x02, 0x04}, runMs}};
    }
    if (code == 0x01) {
      const size_t offset = f.Word(1), end = offset + (f.Size() - 3);
      if (offset == 0) program.clear();
      if (program.size() < end) program.resize(end);
      std::copy(f.Data() + 3, f.Data() + f.Size(), program.begin() + offset);
      return {{TDriverFrame{0x00, f[1], f[2]}}};
    }
    if (code != 0x03) return {};
    const std::vector<uint8_t> data = blockOfRun ? blockOfRun(runs) : block;
    std::vector<PeerReply> out;
    for (size_t at = 0; at < data.size(); at += 200)
      out.push_back({Piece(data, at, std::min<size_t>(200, data.size() - at))});
    out.push_back({TDriverFrame{0x00, 0, 0}});
    out.back().frame.SetWord(1, static_cast<uint16_t>(data.size()));
    return out;
  }

  void Write(const std::vector<uint8_t>& bytes) {
    PtyPair::WriteAll(fd_, bytes, 5000);
    // Paced, the next answer waits until these bytes would have crossed the line.
    if (const uint32_t pace = pace_; pace != 0)
      std::this_thread::sleep_for(std::chrono::microseconds(bytes.size() * 1000000 / pace));
  }

  int fd_;
  std::atomic<uint32_t> pace_{0};
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<device::TDriverFrame> received_;
  std::thread thread_;  // last: it starts once everything it uses exists
};

}  // namespace quellar::test
