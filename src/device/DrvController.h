#pragma once
// The device controller: every exchange with the analyzer passes through here. It sends
// command frames through the transport, cuts the answers into frames, waits for the awaited
// answer code and carries out the transactions of the command set. Synchronous, one caller
// at a time, no reader thread.
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "device/DrvConnection.h"
#include "device/DrvFrame.h"
#include "device/DrvState.h"

namespace quellar::device {

// Command and answer codes of the controller's own transactions.
constexpr uint8_t kCmdIdentifyMaster = 0x00;
constexpr uint8_t kCmdUpload = 0x01;
constexpr uint8_t kCmdControl = 0x02;
constexpr uint8_t kCmdReadSamples = 0x03;
constexpr uint8_t kCmdIdentifyMagnetic = 0x80;
constexpr uint8_t kAnsAcknowledge = 0x00;
constexpr uint8_t kAnsUploadFailed = 0x01;
constexpr uint8_t kAnsStatus = 0x02;
constexpr uint8_t kAnsSamplePiece = 0x03;
constexpr uint8_t kAnsSettingsAccepted = 0x90;
constexpr uint8_t kControlHello = 0x01;
constexpr uint8_t kControlStart = 0x00;
constexpr uint8_t kStatusStarted = 0x02;
constexpr uint8_t kStatusFinished = 0x04;

class TDriverController {
 public:
  static constexpr uint32_t kAnswerTimeoutMs = 2000;
  static constexpr int kAttempts = 3;
  static constexpr int32_t kReadChunkSize = 1024;
  static constexpr int32_t kUploadChunk = 1024;
  // Offsets travel in 16 bits: a longer program would overwrite its own beginning.
  static constexpr int32_t kMaxProgramSize = 65536;

  // The transport is not owned; it must outlive the controller.
  explicit TDriverController(TDriverHardwareBase* hardware);
  ~TDriverController();
  TDriverController(const TDriverController&) = delete;
  TDriverController& operator=(const TDriverController&) = delete;

  // Sends the frame and waits for an answer with the code: up to three attempts of 2 s.
  bool Transact(const TDriverFrame& frame, uint8_t code);
  // Drops the frame that the last answer was copied from.
  void ReleaseAnswer();
  bool Handshake();
  bool UpdateState();
  bool UploadProgram(const uint8_t* source, int32_t count);
  bool RunProgram(uint32_t timeoutMs);
  // Fetches the sample block into stream (nullptr: none, false).
  bool ReadSamples(std::vector<uint8_t>* stream);
  TDriverState& State();

  // The codec and the waiting beneath the transactions.
  bool SendFrame(const TDriverFrame* frame);
  void ReceiveFrames();
  bool PollAnswer(uint8_t code);
  bool WaitAnswer(uint8_t code, uint32_t timeoutMs);
  // The same; with restartOnPiece every sample piece that arrives restarts the time-out.
  bool WaitAnswer(uint8_t code, uint32_t timeoutMs, bool restartOnPiece);
  // Hands every received frame to the state decoders, oldest first, and drops them all.
  void ProcessFrames();

  // A copy of the frame last matched by PollAnswer.
  const TDriverFrame& Answer() const { return answer_; }
  // Received frames whose check held, in arrival order.
  const TDriverFrameList& Frames() const { return frames_; }

 private:
  bool LineActive();
  // Reads what is queued, then drops every received frame with one of the codes.
  void DropQueued(std::initializer_list<uint8_t> codes);
  // Reads and decodes what is queued; the number of bytes read.
  int32_t ReceiveBytes();
  // Trace reports; TimedOut returns false for the wait that ran out.
  bool TimedOut(uint8_t code, uint32_t timeoutMs);
  void TraceReceived(size_t before, uint64_t rejected);

  TDriverHardwareBase* hardware_;
  TDriverState state_;
  std::vector<uint8_t> readChunk_;
  TDriverFrameDecoder decoder_;
  TDriverFrameList frames_;
  TDriverFrame answer_;
  const TDriverFrame* answerSource_ = nullptr;
  std::vector<uint8_t> sendBuffer_;
  int32_t lastReceived_ = 0;
  uint64_t piecesReceived_ = 0;  // sample pieces decoded so far
};

}  // namespace quellar::device
