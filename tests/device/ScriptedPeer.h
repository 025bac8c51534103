#pragma once
// A scripted analyzer on the master side of a pseudo-terminal: a thread that cuts what the
// transport sends into frames with the library's own receiver and answers each one as the
// test's handler says, optionally after a real-time delay.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "PtyPair.h"
#include "device/DrvFrame.h"

namespace quellar::test {

struct PeerReply {
  device::TDriverFrame frame;
  uint32_t delayMs = 0;
  // Raw bytes to send instead of the frame (for damaged or split answers).
  std::vector<uint8_t> raw = {};
  // Instead of answering, close the line: the analyzer vanishes.
  bool hangUp = false;
};

class ScriptedPeer {
 public:
  using Handler = std::function<std::vector<PeerReply>(const device::TDriverFrame&)>;

  ScriptedPeer(PtyPair& pty, Handler handler)
      : pty_(pty), fd_(pty.Master()), handler_(std::move(handler)), thread_([this] { Run(); }) {}
  ~ScriptedPeer() { Stop(); }
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  // Paces every answer at this many bytes a second, as a serial line does (0: no pacing).
  void Pace(uint32_t bytesPerSecond) { pace_ = bytesPerSecond; }
  std::vector<device::TDriverFrame> Received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

 private:
  void Run() {
    device::TDriverFrameDecoder decoder;
    while (!stop_) {
      pollfd pfd{fd_, POLLIN, 0};
      if (poll(&pfd, 1, 20) <= 0) continue;
      if (!(pfd.revents & POLLIN)) break;
      uint8_t buf[4096];
      const ssize_t n = read(fd_, buf, sizeof buf);
      if (n <= 0) continue;
      device::TDriverFrameList frames;
      decoder.Feed(buf, static_cast<size_t>(n), frames);
      for (const auto& frame : frames) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          received_.push_back(*frame);
        }
        for (const PeerReply& reply : handler_(*frame)) {
          if (reply.hangUp) {
            pty_.CloseMaster();
            return;
          }
          if (reply.delayMs) std::this_thread::sleep_for(std::chrono::milliseconds(reply.delayMs));
          Write(reply.raw.empty() ? device::EncodeFrame(reply.frame) : reply.raw);
        }
      }
    }
  }

  void Write(const std::vector<uint8_t>& bytes) {
    const uint32_t pace = pace_;
    if (pace == 0) {
      PtyPair::WriteAll(fd_, bytes, 5000);
      return;
    }
    // Bytes leave no faster than the line carries them, measured from the first one.
    if (paceStart_.time_since_epoch().count() == 0 ||
        std::chrono::steady_clock::now() > paceDue_ + std::chrono::milliseconds(20)) {
      paceStart_ = std::chrono::steady_clock::now();
      paced_ = 0;
    }
    for (size_t at = 0; at < bytes.size(); at += 32) {
      const size_t n = std::min<size_t>(32, bytes.size() - at);
      paced_ += n;
      paceDue_ = paceStart_ + std::chrono::microseconds(paced_ * 1000000 / pace);
      std::this_thread::sleep_until(paceDue_);
      PtyPair::WriteAll(fd_, std::vector<uint8_t>(bytes.begin() + at, bytes.begin() + at + n),
                        5000);
    }
  }

  PtyPair& pty_;
  int fd_;
  std::atomic<uint32_t> pace_{0};
  std::chrono::steady_clock::time_point paceStart_{}, paceDue_{};
  uint64_t paced_ = 0;
  Handler handler_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<device::TDriverFrame> received_;
  std::thread thread_;
};

}  // namespace quellar::test
