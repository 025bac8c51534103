// The device controller against a peer whose answers come from the input: each answer may be
// dropped, duplicated, damaged, cut short, blown up past the receive buffer, replaced by an
// earlier one, preceded by junk, or delayed past others. Every transaction must end within its
// bound on the virtual clock, and a true result must rest on what the peer sent for it.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "FuzzInput.h"
#include "device/DrvController.h"
#include "device/FakeTransport.h"
#include "platform/Clock.h"

using namespace quellar;
using namespace quellar::device;
using fuzz::Require;

namespace {

constexpr uint32_t kWait = TDriverController::kAnswerTimeoutMs + 2;  // one wait, at most

// A frame the controller read, and how many frames it had sent by then.
struct Received {
  TDriverFrame frame;
  size_t sent;
};

class THostilePeer final : public test::FakeTransport {
 public:
  THostilePeer(platform::VirtualClock& clock, fuzz::TInput& in) : FakeTransport(&clock), in_(in) {
    responder = [this](FakeTransport&, const TDriverFrame& command) { Respond(command); };
  }

  int32_t Read(uint8_t* buffer, int32_t count) override {
    const int32_t n = FakeTransport::Read(buffer, count);
    TDriverFrameList frames;
    decoder_.Feed(buffer, static_cast<size_t>(n), frames);
    for (const auto& frame : frames) received.push_back({*frame, sent.size()});
    return n;
  }

  std::vector<Received> received;

 private:
  void Respond(const TDriverFrame& command) {
    const auto text = [&](uint8_t code, uint32_t most) {
      TDriverFrame f{code};
      f.Resize(1 + static_cast<int32_t>(in_.Below(most + 1)));
      for (int32_t i = 1; i < f.Size(); ++i) f[static_cast<size_t>(i)] = in_.Byte();
      return f;
    };
    const uint8_t code = command.Command();
    if (code == kCmdControl && command.Size() >= 2 && command[1] == kControlStart) {
      Send(TDriverFrame{kAnsStatus, in_.Bit() ? in_.Byte() : kStatusStarted});
      Send(TDriverFrame{kAnsStatus, in_.Bit() ? in_.Byte() : kStatusFinished});
    } else if (code == kCmdControl) {
      Send(text(kAnsStatus, 2));
    } else if (code == kCmdIdentifyMaster) {
      Send(text(kCodeMasterID, 40));
    } else if (code >= kCodeMagneticID && code <= kCodeAuxWord) {
      Send(text(code, code == kCodeMagneticID ? 40 : 9));
    } else if (code == kCmdUpload && command.Size() >= 3) {
      const uint16_t echo = in_.Bit() ? static_cast<uint16_t>(in_.U32()) : command.Word(1);
      Send(TDriverFrame{kAnsAcknowledge, static_cast<uint8_t>(echo >> 8),
                        static_cast<uint8_t>(echo)});
      if (in_.Below(8) == 0) Send(TDriverFrame{kAnsUploadFailed});
    } else if (code == kCmdReadSamples) {
      const size_t total = in_.Below(3000), piece = 1 + in_.Below(1100);
      for (size_t at = 0; at < total; at += piece) {
        TDriverFrame f{kAnsSamplePiece, static_cast<uint8_t>(at >> 8), static_cast<uint8_t>(at)};
        f.Resize(static_cast<int32_t>(3 + std::min(piece, total - at)));
        for (int32_t i = 3; i < f.Size(); ++i) f[static_cast<size_t>(i)] = in_.Byte();
        Send(f);
      }
      Send(TDriverFrame{kAnsAcknowledge, static_cast<uint8_t>(total >> 8),
                        static_cast<uint8_t>(total)});
    }
  }

  // One answer, as the input spoils it.
  void Send(TDriverFrame frame) {
    static constexpr uint32_t kDelays[] = {0, 0, 0, 1, 7, 1999, 2000, 2001, 2500, 4100, 6001, 9000};
    const uint8_t fault = in_.Byte();
    const uint32_t delay = in_.Pick(kDelays);
    std::vector<uint8_t> wire;
    switch (fault % 8) {
      case 1:  // lost
        return;
      case 2:  // an earlier answer again
        if (!history_.empty()) frame = history_[in_.Below(static_cast<uint32_t>(history_.size()))];
        break;
      case 3:  // blown up past the receive buffer
        frame.Resize(frame.Size() + TDriverFrameDecoder::kBufferSize + in_.Below(64));
        break;
      case 4:  // junk first
        for (size_t n = in_.Below(48); n > 0; --n) wire.push_back(in_.Byte());
        break;
      default:
        break;
    }
    history_.push_back(frame);
    EncodeFrame(frame, wire);
    if (fault % 8 == 5) wire[in_.Below(static_cast<uint32_t>(wire.size()))] ^= 1 + in_.Byte() % 255;
    if (fault % 8 == 6) wire.resize(in_.Below(static_cast<uint32_t>(wire.size())));
    Schedule(wire, delay);
    if (fault % 8 == 7) Schedule(wire, delay + in_.Below(3000));
  }

  fuzz::TInput& in_;
  TDriverFrameDecoder decoder_;
  std::vector<TDriverFrame> history_;
};

bool SameState(const TDriverState& a, const TDriverState& b) {
  const auto same = [](double x, double y) { return x == y || (std::isnan(x) && std::isnan(y)); };
  return a.Master.ID == b.Master.ID && a.Magnetic.ID == b.Magnetic.ID &&
         same(a.Magnetic.SampleTemperature, b.Magnetic.SampleTemperature) &&
         same(a.Magnetic.SystemTemperature, b.Magnetic.SystemTemperature) &&
         a.Magnetic.Nitrogen == b.Magnetic.Nitrogen &&
         a.Magnetic.BiasRoughly == b.Magnetic.BiasRoughly &&
         a.Magnetic.BiasPrecise == b.Magnetic.BiasPrecise && a.Magnetic.Gain == b.Magnetic.Gain &&
         a.Magnetic.AuxWord == b.Magnetic.AuxWord;
}

// The state as every frame read so far, oldest first, would leave it.
TDriverState Expected(const std::vector<Received>& received) {
  TDriverState state;
  for (const Received& r : received) {
    state.DecodeMasterID(r.frame);
    state.DecodeMagneticID(r.frame);
    state.DecodeSystemTemperature(r.frame);
    state.DecodeSampleTemperature(r.frame);
    state.DecodeMagneticSettings(r.frame);
    state.DecodeAuxWord(r.frame);
  }
  return state;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static constexpr uint32_t kRunTimeouts[] = {0, 1, 100, 2000, 5000, 60000, 0xFFFFFFFFu};
  fuzz::TInput in(data, size);
  platform::VirtualClock clock(in.U32());
  platform::ScopedClock scoped(clock);
  THostilePeer peer(clock, in);
  TDriverController controller(&peer);
  std::vector<uint8_t> code(4000), stream;
  for (int op = 0; op < 24 && !in.Empty(); ++op) {
    const uint8_t choice = in.Byte();
    const size_t sentBefore = peer.sent.size(), readBefore = peer.received.size();
    const uint32_t start = clock.Ticks();
    uint64_t bound = 0;
    bool ok = false;
    switch (choice % 6) {
      case 0:
        ok = controller.Handshake();
        bound = 3ull * 3 * kWait;
        break;
      case 1:
        ok = controller.UpdateState();
        bound = 4ull * 3 * kWait;
        break;
      case 2: {
        const int32_t count = static_cast<int32_t>(in.Below(static_cast<uint32_t>(code.size())));
        for (int32_t i = 0; i < count; ++i) code[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
        ok = controller.UploadProgram(code.data(), count);
        bound = (count + TDriverController::kUploadChunk - 1) / TDriverController::kUploadChunk *
                3ull * kWait;
        break;
      }
      case 3: {
        const uint32_t timeout = in.Pick(kRunTimeouts);
        ok = controller.RunProgram(timeout);
        bound = 3ull * kWait + timeout + 2;
        break;
      }
      case 4:
        ok = controller.ReadSamples(in.Bit() ? &stream : nullptr);
        bound = kWait;
        for (size_t i = readBefore; i < peer.received.size(); ++i)
          if (peer.received[i].frame.Command() == kAnsSamplePiece) bound += kWait;
        break;
      default:
        peer.active = !in.Bit();
        peer.hungUp = in.Bit();
        continue;
    }
    Require(platform::Elapsed(start, clock.Ticks()) <= bound);
    if (!peer.active) Require(!ok && peer.sent.size() == sentBefore);
    if (!ok) continue;

    // What the controller read during the call, after its first frame went out.
    std::vector<const TDriverFrame*> answers;
    for (size_t i = readBefore; i < peer.received.size(); ++i)
      if (peer.received[i].sent > sentBefore) answers.push_back(&peer.received[i].frame);
    const auto first = [&](uint8_t code, size_t skip = 0) -> const TDriverFrame* {
      for (const TDriverFrame* f : answers)
        if (f->Command() == code && skip-- == 0) return f;
      return nullptr;
    };
    switch (choice % 6) {
      case 2:
        // Every chunk had its own acknowledgement (to its last attempt), and no refusal came
        // after the first chunk.
        for (size_t s = sentBefore; s < peer.sent.size(); ++s) {
          if (s + 1 < peer.sent.size() && peer.sent[s + 1] == peer.sent[s]) continue;
          bool acknowledged = false;
          for (const Received& r : peer.received)
            acknowledged |= r.sent == s + 1 && r.frame.Command() == kAnsAcknowledge &&
                            r.frame.Size() >= 3 && r.frame.Word(1) == peer.sent[s].Word(1);
          Require(acknowledged);
        }
        Require(first(kAnsUploadFailed) == nullptr);
        break;
      case 3: {
        // "started", then (past any repeats of it) "finished".
        const TDriverFrame* started = first(kAnsStatus);
        Require(started && started->Size() >= 2 && (*started)[1] == kStatusStarted);
        const TDriverFrame* finished = nullptr;
        for (size_t skip = 1; (finished = first(kAnsStatus, skip)) != nullptr; ++skip)
          if (finished->Size() < 2 || (*finished)[1] != kStatusStarted) break;
        Require(finished && (*finished)[1] == kStatusFinished);
        break;
      }
      case 4: {
        const TDriverFrame* total = first(kAnsAcknowledge);
        Require(total && total->Size() >= 3 && total->Word(1) == stream.size());
        std::vector<uint8_t> block;
        for (const TDriverFrame* f : answers)
          if (f->Command() == kAnsSamplePiece && f->Size() >= 3 && f->Word(1) == block.size())
            block.insert(block.end(), f->Bytes().begin() + 3, f->Bytes().end());
        Require(block == stream);
        break;
      }
      default:
        break;
    }
    if (choice % 6 != 2) Require(SameState(controller.State(), Expected(peer.received)));
  }
  return 0;
}
