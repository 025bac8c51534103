#include "device/DrvController.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include "device/DrvTrace.h"
#include "errors/Asserts.h"
#include "platform/Clock.h"

namespace quellar::device {

namespace {

constexpr Tag kTagCreate = "{DC53140C-B888-4563-8388-0E8FCCD78390}";
constexpr Tag kCheckHardwareGiven = "{2AD576DE-6F30-4F30-9557-CE22DEC5ECBD}";
constexpr Tag kTagDestroy = "{F5965811-E3C2-42D1-9E72-C35D95F2B42B}";
constexpr Tag kTagTransact = "{6C57572E-F761-47D1-9F9C-D504B8BA86F7}";
constexpr Tag kTagReleaseAnswer = "{4A0BECC1-1872-45D2-AD6A-0B61C5010F93}";
constexpr Tag kTagHandshake = "{2CF8A816-10F4-4E8C-8740-70FC82250F2E}";
constexpr Tag kTagUpdateState = "{AC12C576-C339-44B2-B85B-F8432388F8FF}";
constexpr Tag kTagUploadProgram = "{768F4252-357F-45F9-9C6D-2177AFE67DD0}";
constexpr Tag kTagRunProgram = "{029067CB-9627-4BDC-A23B-CB0C3F5AA37D}";
constexpr Tag kTagReadSamples = "{305F9369-AE5F-42F0-9366-DA94E38CD286}";
constexpr Tag kTagState = "{F8DC8ED1-35DA-41AA-AEBE-33B8A219BB96}";
constexpr Tag kTagSendFrame = "{DD5BED9B-1670-428A-B2D0-0C8ACE1993BB}";
constexpr Tag kTagReceiveFrames = "{05B94822-87A1-400B-ACF3-C906F115E986}";
constexpr Tag kTagPollAnswer = "{435D99E7-A88D-447E-909E-6A19230020C5}";
constexpr Tag kTagWaitAnswer = "{961D801B-511E-4A6B-827F-B6B8F202EC7C}";
constexpr Tag kTagProcessFrames = "{661A6BC4-F6FF-42C5-8605-5F0561E62828}";
constexpr Tag kTagLineActive = "{CBA2955F-BE29-4318-B913-4A08A8DF9A7E}";
constexpr Tag kTagReceiveBytes = "{0FF21C30-2996-4713-83A7-4296DA9CB4C6}";
constexpr Tag kCheckReadCount = "{18EC90C1-0D2B-4717-9D35-72D8E44E285B}";
constexpr Tag kTagDropQueued = "{FD8A76E6-95E7-4E5A-81D6-21F8A2DD63A0}";

}  // namespace

TDriverController::TDriverController(TDriverHardwareBase* hardware) : hardware_(hardware) {
  Guarded(kTagCreate, [&] {
    CheckIntegrity(hardware_ != nullptr, kCheckHardwareGiven);
    readChunk_.resize(static_cast<size_t>(kReadChunkSize));
  });
}

TDriverController::~TDriverController() {
  try {
    Guarded(kTagDestroy, [&] {
      answerSource_ = nullptr;
      frames_.clear();
    });
  } catch (...) {
    // Reported by the guard; a destructor must not throw.
  }
}

// Without a transport every operation behaves as on a closed line.
bool TDriverController::LineActive() {
  return Guarded(kTagLineActive, [&] { return hardware_ != nullptr && hardware_->Active(); });
}

TDriverState& TDriverController::State() {
  return Guarded(kTagState, [&]() -> TDriverState& { return state_; });
}

bool TDriverController::SendFrame(const TDriverFrame* frame) {
  return Guarded(kTagSendFrame, [&] {
    if (frame == nullptr || !LineActive()) return false;
    sendBuffer_.clear();
    EncodeFrame(*frame, sendBuffer_);
    const bool written =
        hardware_->Write(sendBuffer_.data(), static_cast<int32_t>(sendBuffer_.size()));
    Trace(written ? TDriverTraceKind::Sent : TDriverTraceKind::LineLost, frame->Command(),
          frame->Data(), frame->Size());
    return written;
  });
}

int32_t TDriverController::ReceiveBytes() {
  return Guarded(kTagReceiveBytes, [&] {
    int32_t total = 0;
    lastReceived_ = 0;
    if (!LineActive()) return total;
    for (;;) {
      int32_t n = hardware_->Read(readChunk_.data(), kReadChunkSize);
      if (n <= 0) break;
      if (!CheckIntegrity(n <= kReadChunkSize, kCheckReadCount)) n = kReadChunkSize;
      const size_t before = frames_.size();
      const uint64_t rejected = decoder_.Rejected();
      decoder_.Feed(readChunk_.data(), static_cast<size_t>(n), frames_);
      auto it = frames_.rbegin();
      for (size_t added = frames_.size() - before; added > 0; --added, ++it)
        if ((*it)->Command() == kAnsSamplePiece) ++piecesReceived_;
      if (TraceOn()) [[unlikely]]
        TraceReceived(before, rejected);
      total += n;
    }
    lastReceived_ = total;
    return total;
  });
}

void TDriverController::ReceiveFrames() {
  Guarded(kTagReceiveFrames, [&] { ReceiveBytes(); });
}

bool TDriverController::PollAnswer(uint8_t code) {
  return Guarded(kTagPollAnswer, [&] {
    ReceiveFrames();
    for (const auto& frame : frames_) {
      if (frame->Command() == code) {
        answer_ = *frame;
        answerSource_ = frame.get();
        return true;
      }
    }
    return false;
  });
}

bool TDriverController::WaitAnswer(uint8_t code, uint32_t timeoutMs) {
  return WaitAnswer(code, timeoutMs, false);
}

bool TDriverController::WaitAnswer(uint8_t code, uint32_t timeoutMs, bool restartOnPiece) {
  return Guarded(kTagWaitAnswer, [&] {
    if (!LineActive()) return false;
    answerSource_ = nullptr;
    auto& clock = platform::GetClock();
    // Summed in 64 bits from tick differences: a 32-bit difference from the start wraps before
    // a time-out of 2^32 - 1 ms is exceeded, and the wait would never end.
    uint32_t last = clock.Ticks();
    uint64_t elapsed = 0;
    const auto measure = [&] {
      const uint32_t now = clock.Ticks();
      elapsed += platform::Elapsed(last, now);
      last = now;
    };
    uint64_t pieces = piecesReceived_;
    bool woken = false;
    for (;;) {
      if (PollAnswer(code)) return true;
      measure();
      // A block longer than the window still arrives, as long as its pieces keep coming.
      if (restartOnPiece && piecesReceived_ != pieces) {
        pieces = piecesReceived_;
        elapsed = 0;
      }
      // A transport that reports input but delivers none must not turn this into a spin.
      if (woken && lastReceived_ == 0) clock.Sleep(1);
      measure();
      if (elapsed > timeoutMs) return TimedOut(code, timeoutMs);
      // Block in the transport until bytes arrive or the time is up, instead of polling.
      const uint64_t remaining = uint64_t{timeoutMs} - elapsed + 1;
      const TDriverInputWait wait =
          hardware_->WaitInput(static_cast<uint32_t>(std::min<uint64_t>(remaining, UINT32_MAX)));
      if (wait == TDriverInputWait::Closed) {  // nothing more can arrive
        Trace(TDriverTraceKind::LineLost, code);
        return false;
      }
      woken = wait == TDriverInputWait::Ready;
      measure();
      if (elapsed > timeoutMs) return TimedOut(code, timeoutMs);
    }
  });
}

bool TDriverController::Transact(const TDriverFrame& frame, uint8_t code) {
  return Guarded(kTagTransact, [&] {
    if (!LineActive()) return false;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
      if (attempt > 0)
        Trace(TDriverTraceKind::Retry, code, frame.Data(), frame.Size(), attempt + 1);
      if (!SendFrame(&frame)) return false;
      if (WaitAnswer(code, kAnswerTimeoutMs)) return true;
    }
    return false;
  });
}

bool TDriverController::TimedOut(uint8_t code, uint32_t timeoutMs) {
  Trace(TDriverTraceKind::TimedOut, code, nullptr, 0, 0, timeoutMs);
  return false;
}

// The frames decoded since the list held before frames, and the checks failed since rejected.
void TDriverController::TraceReceived(size_t before, uint64_t rejected) {
  auto it = frames_.begin();
  std::advance(it, static_cast<std::ptrdiff_t>(before));
  for (; it != frames_.end(); ++it)
    Trace(TDriverTraceKind::Received, (*it)->Command(), (*it)->Data(), (*it)->Size());
  for (uint64_t n = decoder_.Rejected() - rejected; n > 0; --n)
    Trace(TDriverTraceKind::Rejected, 0);
}

void TDriverController::ReleaseAnswer() {
  Guarded(kTagReleaseAnswer, [&] {
    if (answerSource_ == nullptr) return;
    const TDriverFrame* source = std::exchange(answerSource_, nullptr);
    frames_.remove_if([source](const auto& frame) { return frame.get() == source; });
    answer_.Clear();
  });
}

void TDriverController::DropQueued(std::initializer_list<uint8_t> codes) {
  Guarded(kTagDropQueued, [&] {
    ReceiveFrames();
    frames_.remove_if([&](const auto& frame) {
      if (std::find(codes.begin(), codes.end(), frame->Command()) == codes.end()) return false;
      if (frame.get() == answerSource_) answerSource_ = nullptr;
      return true;
    });
  });
}

void TDriverController::ProcessFrames() {
  Guarded(kTagProcessFrames, [&] {
    while (!frames_.empty()) {
      const TDriverFrame& frame = *frames_.front();
      switch (frame.Command()) {
        case kCodeMasterID:
          state_.DecodeMasterID(frame);
          break;
        case kCodeMagneticID:
          state_.DecodeMagneticID(frame);
          break;
        case kCodeSystemTemperature:
          state_.DecodeSystemTemperature(frame);
          break;
        case kCodeSampleTemperature:
          state_.DecodeSampleTemperature(frame);
          break;
        case kCodeMagneticSettingsAnswer:
          state_.DecodeMagneticSettings(frame);
          break;
        case kCodeAuxWord:
          state_.DecodeAuxWord(frame);
          break;
        default:
          break;
      }
      frames_.pop_front();
    }
    answerSource_ = nullptr;
  });
}

bool TDriverController::Handshake() {
  return Guarded(kTagHandshake, [&] {
    if (!LineActive()) return false;
    TDriverFrame frame{kCmdControl, kControlHello};
    if (!Transact(frame, kAnsStatus)) return false;
    frame = TDriverFrame{kCmdIdentifyMaster};
    if (!Transact(frame, kCodeMasterID)) return false;
    frame = TDriverFrame{kCmdIdentifyMagnetic};
    if (!Transact(frame, kCodeMagneticID)) return false;
    ProcessFrames();
    return true;
  });
}

bool TDriverController::UpdateState() {
  return Guarded(kTagUpdateState, [&] {
    if (!LineActive()) return false;
    TDriverFrame frame;
    for (uint8_t code : {kCodeSystemTemperature, kCodeSampleTemperature,
                         kCodeMagneticSettingsAnswer, kCodeAuxWord}) {
      frame = TDriverFrame{code};
      if (!Transact(frame, code)) return false;
    }
    ProcessFrames();
    return true;
  });
}

bool TDriverController::UploadProgram(const uint8_t* source, int32_t count) {
  return Guarded(kTagUploadProgram, [&] {
    if (!LineActive()) return false;
    if (count < 0 || count > kMaxProgramSize || (count > 0 && source == nullptr)) return false;
    uint32_t offset = 0;
    TDriverFrame frame;
    // A refusal that arrived before the first chunk cannot be about this program.
    if (count > 0) DropQueued({kAnsUploadFailed});
    while (count > 0) {
      // Each chunk must be acknowledged by its own answer, not by a late one of an earlier
      // chunk or upload.
      DropQueued({kAnsAcknowledge});
      const int32_t chunk = std::min(kUploadChunk, count);
      frame.Resize(chunk + 3);
      frame[0] = kCmdUpload;
      const uint16_t echo = static_cast<uint16_t>(offset & 0xFFFF);
      frame.SetWord(1, echo);
      std::memcpy(frame.Data() + 3, source, static_cast<size_t>(chunk));
      if (!Transact(frame, kAnsAcknowledge)) return false;
      if (answer_.Command() != kAnsAcknowledge || answer_.Size() < 3 || answer_.Word(1) != echo) {
        return false;
      }
      ReleaseAnswer();
      offset += static_cast<uint32_t>(chunk);
      source += chunk;
      count -= chunk;
    }
    // The analyzer answers 0x01 when it refused the program.
    return !PollAnswer(kAnsUploadFailed);
  });
}

bool TDriverController::RunProgram(uint32_t timeoutMs) {
  return Guarded(kTagRunProgram, [&] {
    if (!LineActive()) return false;
    const TDriverFrame frame{kCmdControl, kControlStart};
    // A status left over (a late "finished" after a time-out, a damaged "started") would be
    // taken for this run's answer.
    DropQueued({kAnsStatus});
    if (!Transact(frame, kAnsStatus)) return false;
    if (answer_.Command() != kAnsStatus || answer_.Size() < 2 || answer_[1] != kStatusStarted) {
      return false;
    }
    ReleaseAnswer();
    // A second "started" (the answer duplicated on the line) is not the end of the run: the
    // wait goes on within the same time-out.
    auto& clock = platform::GetClock();
    const uint32_t start = clock.Ticks();
    for (;;) {
      const uint32_t elapsed = platform::Elapsed(start, clock.Ticks());
      if (elapsed > timeoutMs || !WaitAnswer(kAnsStatus, timeoutMs - elapsed)) return false;
      if (answer_.Size() < 2 || answer_[1] != kStatusStarted) break;
      ReleaseAnswer();
    }
    if (answer_.Command() != kAnsStatus || answer_.Size() < 2 || answer_[1] != kStatusFinished) {
      return false;
    }
    ReleaseAnswer();
    ProcessFrames();
    return true;
  });
}

bool TDriverController::ReadSamples(std::vector<uint8_t>* stream) {
  return Guarded(kTagReadSamples, [&] {
    if (stream == nullptr || !LineActive()) return false;
    // Pieces and totals left from an earlier, failed fetch would be taken for this block's.
    DropQueued({kAnsSamplePiece, kAnsAcknowledge});
    const TDriverFrame request{kCmdReadSamples};
    SendFrame(&request);
    // The window restarts with every piece: a long block takes longer than one window.
    if (!WaitAnswer(kAnsAcknowledge, kAnswerTimeoutMs, true)) return false;
    stream->clear();
    for (const auto& frame : frames_) {
      if (frame->Command() == kAnsSamplePiece && frame->Size() >= 3 &&
          frame->Word(1) == stream->size()) {
        stream->insert(stream->end(), frame->Data() + 3, frame->Data() + frame->Size());
      }
    }
    if (answer_.Size() < 3 || answer_.Word(1) != stream->size()) return false;
    ReleaseAnswer();
    ProcessFrames();
    return true;
  });
}

}  // namespace quellar::device
