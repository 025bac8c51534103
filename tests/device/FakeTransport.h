#pragma once
// An in-memory transport on a virtual clock: records the frames the controller writes,
// delivers scripted answers at chosen virtual times, and lets the clock run forward only
// when the controller waits.
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "device/DrvConnection.h"
#include "device/DrvFrame.h"
#include "platform/Clock.h"

namespace quellar::test {

class FakeTransport : public device::TDriverHardwareBase {
 public:
  // Called for every frame the controller sends; may queue or schedule answers.
  using Responder = std::function<void(FakeTransport&, const device::TDriverFrame&)>;

  explicit FakeTransport(platform::VirtualClock* clock = nullptr) : clock_(clock) {}

  bool active = true, writeResult = true, hungUp = false;
  Responder responder;
  std::vector<device::TDriverFrame> sent;
  std::vector<uint32_t> sentAt;  // clock ticks of each sent frame
  int waits = 0;

  void Deliver(const std::vector<uint8_t>& bytes) {
    queue_.insert(queue_.end(), bytes.begin(), bytes.end());
  }
  // The wire form of a frame, arriving delayMs after now.
  void Answer(const device::TDriverFrame& frame, uint32_t delayMs = 0) {
    Schedule(device::EncodeFrame(frame), delayMs);
  }
  void Schedule(const std::vector<uint8_t>& bytes, uint32_t delayMs) {
    if (delayMs == 0 || clock_ == nullptr) return Deliver(bytes);
    // Kept in order of arrival time; equal times keep the order they were scheduled in.
    const uint32_t at = Now() + delayMs;
    auto it = scheduled_.begin();
    while (it != scheduled_.end() && static_cast<int32_t>(it->first - at) <= 0) ++it;
    scheduled_.insert(it, {at, bytes});
  }
  size_t Queued() const { return queue_.size(); }

  bool Active() override { return active; }
  void Purge() override { queue_.clear(); }
  int32_t Read(uint8_t* buffer, int32_t count) override {
    ReleaseDue();
    int32_t n = 0;
    for (; n < count && !queue_.empty(); queue_.pop_front()) buffer[n++] = queue_.front();
    return n;
  }
  bool Write(const uint8_t* buffer, int32_t count) override {
    device::TDriverFrameList frames;
    decoder_.Feed(buffer, static_cast<size_t>(count), frames);
    for (auto& frame : frames) {
      sent.push_back(*frame);
      sentAt.push_back(Now());
      if (responder) responder(*this, *frame);
    }
    return writeResult;
  }
  bool Open(const std::string&) override { return active = true; }
  void Close() override { active = false; }
  device::TDriverInputWait WaitInput(uint32_t timeoutMs) override {
    ++waits;
    ReleaseDue();
    if (!queue_.empty()) return device::TDriverInputWait::Ready;
    if (hungUp) return device::TDriverInputWait::Closed;
    if (clock_ == nullptr) {
      // Without a clock of its own, sleep on the clock in force: never a spin.
      platform::GetClock().Sleep(timeoutMs);
      return device::TDriverInputWait::TimedOut;
    }
    // Jump to the next delivery when it falls within the wait.
    const bool due = !scheduled_.empty() && scheduled_.front().first - Now() <= timeoutMs;
    clock_->Advance(due ? scheduled_.front().first - Now() : timeoutMs);
    ReleaseDue();
    return due ? device::TDriverInputWait::Ready : device::TDriverInputWait::TimedOut;
  }

 private:
  uint32_t Now() const { return clock_ ? clock_->Ticks() : 0; }
  void ReleaseDue() {
    for (; !scheduled_.empty() && static_cast<int32_t>(scheduled_.front().first - Now()) <= 0;
         scheduled_.pop_front())
      Deliver(scheduled_.front().second);
  }

  platform::VirtualClock* clock_;
  std::deque<uint8_t> queue_;
  std::deque<std::pair<uint32_t, std::vector<uint8_t>>> scheduled_;
  device::TDriverFrameDecoder decoder_;
};

}  // namespace quellar::test
