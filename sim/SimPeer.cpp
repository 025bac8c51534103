#include "sim/SimPeer.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace quellar::sim {

namespace {

using device::TDriverFrame;

constexpr uint8_t kCmdIdentifyMaster = 0x00;
constexpr uint8_t kCmdUpload = 0x01;
constexpr uint8_t kCmdControl = 0x02;
constexpr uint8_t kCmdReadSamples = 0x03;
constexpr uint8_t kCmdMasterSettings = 0x04;
constexpr uint8_t kCmdIdentifyMagnetic = 0x80;
constexpr uint8_t kCmdSystemTemperature = 0x81;
constexpr uint8_t kCmdSampleTemperature = 0x82;
constexpr uint8_t kCmdMagneticSettings = 0x83;
constexpr uint8_t kCmdAuxWord = 0x84;
constexpr uint8_t kCmdSetpoint = 0x92;
constexpr uint8_t kCmdSetMagnetic = 0x93;
constexpr uint8_t kAnsAcknowledge = 0x00;
constexpr uint8_t kAnsRefused = 0x01;
constexpr uint8_t kAnsStatus = 0x02;
constexpr uint8_t kAnsPiece = 0x03;
constexpr uint8_t kAnsMasterID = 0x04;
constexpr uint8_t kAnsAccepted = 0x90;
constexpr uint8_t kControlStart = 0x00;
constexpr uint8_t kControlHello = 0x01;
constexpr uint16_t kNoReading = 0x8000;

// Items joined by '/' go out zero-separated and end with a double zero.
TDriverFrame Identification(uint8_t code, const std::string& items) {
  std::vector<uint8_t> bytes{code};
  for (char c : items) bytes.push_back(c == '/' ? 0 : static_cast<uint8_t>(c));
  bytes.push_back(0);
  bytes.push_back(0);
  TDriverFrame frame;
  frame.Assign(bytes.data(), static_cast<int32_t>(bytes.size()));
  return frame;
}

TDriverFrame WordFrame(uint8_t code, uint16_t value) {
  TDriverFrame frame{code, 0, 0};
  frame.SetWord(1, value);
  return frame;
}

uint16_t Tenths(double degrees) {
  if (std::isnan(degrees)) return kNoReading;
  const long v = std::lround(std::clamp(degrees * 10, 0.0, 65535.0));
  // The one value that would read as "no reading" is sent a tenth higher.
  return static_cast<uint16_t>(v == kNoReading ? v + 1 : v);
}

uint16_t Left12(int32_t value) {
  return static_cast<uint16_t>(std::clamp(value, 0, 4095) << 4);
}

bool ParseCode(const std::string& text, int32_t& code) {
  if (text == "*") {
    code = -1;
    return true;
  }
  char* end = nullptr;
  errno = 0;
  const long v = text.empty() ? -1 : std::strtol(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || errno != 0 || v < 0 || v > 255) return false;
  code = static_cast<int32_t>(v);
  return true;
}

bool ParseCount(const std::string& text, int64_t& value) {
  char* end = nullptr;
  errno = 0;
  const long long v = text.empty() ? -1 : std::strtoll(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || errno != 0 || v < 0) return false;
  value = v;
  return true;
}

// Flips one bit of a content byte: the frame keeps its flags but fails its check.
void Corrupt(std::vector<uint8_t>& wire) {
  for (size_t i = 1; i + 1 < wire.size(); ++i) {
    const uint8_t flipped = wire[i] ^ 0x01;
    const auto special = [](uint8_t b) { return b == 0x7D || b == 0xC0 || b == 0xC1; };
    if (!special(wire[i]) && !special(flipped) && !(i > 1 && wire[i - 1] == 0x7D)) {
      wire[i] = flipped;
      return;
    }
  }
}

}  // namespace

bool ParseSimFault(const std::string& text, TSimFaults& faults, std::string& error) {
  const auto bad = [&](const std::string& why) {
    error = "bad fault '" + text + "': " + why;
    return false;
  };
  if (text == "mute") {
    faults.Mute = true;
    return true;
  }
  const size_t eq = text.find('=');
  const std::string head = text.substr(0, eq);
  const std::string value = eq == std::string::npos ? "" : text.substr(eq + 1);
  if (head == "hangup" || head == "hangup-in") {
    int64_t n = 0;
    if (!ParseCount(value, n)) return bad("expected " + head + "=BYTES");
    (head == "hangup" ? faults.HangUpAfterSent : faults.HangUpAfterReceived) = n;
    return true;
  }
  const size_t colon = head.find(':');
  const std::string name = head.substr(0, colon);
  TSimFaultRule rule;
  if (name == "drop") {
    rule.Action = TSimFaultAction::Drop;
  } else if (name == "corrupt") {
    rule.Action = TSimFaultAction::Corrupt;
  } else if (name == "duplicate") {
    rule.Action = TSimFaultAction::Duplicate;
  } else if (name == "delay") {
    rule.Action = TSimFaultAction::Delay;
  } else if (name == "stray") {
    rule.Action = TSimFaultAction::Stray;
  } else {
    return bad("unknown fault; known: drop corrupt duplicate delay stray hangup hangup-in mute");
  }
  if (colon == std::string::npos) return bad("expected " + name + ":CODE");
  std::string code = head.substr(colon + 1);
  const size_t hash = code.find('#');
  if (hash != std::string::npos) {
    int64_t nth = 0;
    if (!ParseCount(code.substr(hash + 1), nth) || nth < 1 || nth > INT32_MAX) {
      return bad("the occurrence after # must be 1 or more");
    }
    rule.Nth = static_cast<int32_t>(nth);
    code.resize(hash);
  }
  if (!ParseCode(code, rule.Code)) return bad("the answer code must be 0..255 or *");
  const bool wantsValue =
      rule.Action == TSimFaultAction::Delay || rule.Action == TSimFaultAction::Stray;
  if (wantsValue != (eq != std::string::npos)) {
    return bad(wantsValue ? "expected =VALUE" : "takes no value");
  }
  if (rule.Action == TSimFaultAction::Delay && !ParseCount(value, rule.Value)) {
    return bad("the delay must be milliseconds, 0 or more");
  }
  if (rule.Action == TSimFaultAction::Stray) {
    int32_t stray = 0;
    if (!ParseCode(value, stray) || stray < 0) return bad("the stray frame's code must be 0..255");
    rule.Value = stray;
  }
  faults.Rules.push_back(rule);
  return true;
}

std::string SimFaultHelp() {
  return "drop:CODE[#N], corrupt:CODE[#N], duplicate:CODE[#N], delay:CODE[#N]=MS, "
         "stray:CODE[#N]=STRAYCODE, hangup=BYTES_SENT, hangup-in=BYTES_RECEIVED, mute "
         "(CODE: answer code or *; #N: only its N-th answer)";
}

void TSimLineQueue::Push(const uint8_t* bytes, size_t count, int64_t at, int64_t nsPerByte) {
  if (count == 0) return;
  // Bytes never overtake those queued before them.
  const int64_t start = std::max(at, free_);
  segments_.push_back({std::vector<uint8_t>(bytes, bytes + count), 0, start, nsPerByte});
  free_ = segments_.back().Time(count - 1);
}

size_t TSimLineQueue::Take(uint8_t* out, size_t most, int64_t now, int64_t* times) {
  size_t n = 0;
  while (n < most && !segments_.empty()) {
    Segment& s = segments_.front();
    while (n < most && s.taken < s.bytes.size() && s.Time(s.taken) <= now) {
      if (times) times[n] = s.Time(s.taken);
      out[n++] = s.bytes[s.taken++];
    }
    if (s.taken < s.bytes.size()) break;
    segments_.pop_front();
  }
  return n;
}

size_t TSimLineQueue::Ready(int64_t now) const {
  size_t n = 0;
  for (const Segment& s : segments_) {
    if (s.Time(s.taken) > now) break;
    const size_t left = s.bytes.size() - s.taken;
    if (s.perByte == 0 || s.Time(s.bytes.size() - 1) <= now) {
      n += left;
      continue;
    }
    n += static_cast<size_t>((now - s.start) / s.perByte) - s.taken;
    break;
  }
  return n;
}

int64_t TSimLineQueue::Next() const {
  return segments_.empty() ? kSimNever : segments_.front().Time(segments_.front().taken);
}

TSimPeer::TSimPeer(const TSimSample& sample, const TSimLine& line, const TSimFaults& faults,
                   int64_t now)
    : analyzer_(sample, now), line_(line), faults_(faults) {}

void TSimPeer::Input(const uint8_t* bytes, size_t count, int64_t now) {
  if (hungUp_) return;
  if (faults_.HangUpAfterReceived >= 0) {
    count = static_cast<size_t>(
        std::min<int64_t>(static_cast<int64_t>(count), faults_.HangUpAfterReceived - got_));
  }
  got_ += static_cast<int64_t>(count);
  input_.Push(bytes, count, now, line_.NsPerByte());
  if (faults_.HangUpAfterReceived >= 0 && got_ >= faults_.HangUpAfterReceived) HangUp();
}

size_t TSimPeer::Output(uint8_t* buffer, size_t most, int64_t now) {
  Advance(now);
  if (hungUp_) return 0;
  if (faults_.HangUpAfterSent >= 0) {
    most = static_cast<size_t>(
        std::min<int64_t>(static_cast<int64_t>(most), faults_.HangUpAfterSent - sent_));
  }
  const size_t n = wire_.Take(buffer, most, now);
  sent_ += static_cast<int64_t>(n);
  if (faults_.HangUpAfterSent >= 0 && sent_ >= faults_.HangUpAfterSent) HangUp();
  return n;
}

size_t TSimPeer::Ready(int64_t now) {
  Advance(now);
  if (hungUp_) return 0;
  size_t n = wire_.Ready(now);
  if (faults_.HangUpAfterSent >= 0) {
    n = static_cast<size_t>(
        std::min<int64_t>(static_cast<int64_t>(n), faults_.HangUpAfterSent - sent_));
  }
  return n;
}

int64_t TSimPeer::NextEvent() const {
  if (hungUp_) return kSimNever;
  int64_t next = std::min(input_.Next(), wire_.Next());
  if (!scheduled_.empty()) next = std::min(next, scheduled_.front().at);
  return next;
}

void TSimPeer::Purge(int64_t now) {
  Advance(now);
  wire_.Clear();
}

void TSimPeer::Reconnect() {
  hungUp_ = false;
  sent_ = got_ = 0;
  decoder_ = device::TDriverFrameDecoder();
  frames_.clear();
}

void TSimPeer::HangUp() {
  hungUp_ = true;
  input_.Clear();
  wire_.Clear();
  scheduled_.clear();
}

// Commands are handled at the time their last byte arrived; answers due by now go on the
// wire in the order of their times.
void TSimPeer::Advance(int64_t now) {
  if (hungUp_) return;
  uint8_t bytes[1024];
  int64_t times[1024];
  while (size_t n = input_.Take(bytes, sizeof bytes, now, times)) {
    for (size_t i = 0; i < n; ++i) {
      decoder_.Feed(bytes + i, 1, frames_);
      while (!frames_.empty()) {
        const TDriverFrame frame = std::move(*frames_.front());
        frames_.pop_front();
        ++received_[frame.Command()];
        Handle(frame, times[i]);
      }
    }
  }
  size_t due = 0;
  while (due < scheduled_.size() && scheduled_[due].at <= now) {
    wire_.Push(scheduled_[due].bytes.data(), scheduled_[due].bytes.size(), scheduled_[due].at,
               line_.NsPerByte());
    ++due;
  }
  scheduled_.erase(scheduled_.begin(), scheduled_.begin() + static_cast<ptrdiff_t>(due));
}

void TSimPeer::Schedule(std::vector<uint8_t> bytes, int64_t at) {
  auto it = std::upper_bound(scheduled_.begin(), scheduled_.end(), at,
                             [](int64_t t, const Scheduled& s) { return t < s.at; });
  scheduled_.insert(it, Scheduled{at, std::move(bytes)});
}

void TSimPeer::Answer(const TDriverFrame& frame, int64_t at) {
  if (faults_.Mute) return;
  at += line_.LatencyNs;
  std::vector<uint8_t> wire = device::EncodeFrame(frame);
  int copies = 1;
  for (TSimFaultRule& rule : faults_.Rules) {
    if (rule.Code >= 0 && rule.Code != frame.Command()) continue;
    ++rule.Seen;
    if (rule.Nth != 0 && rule.Seen != rule.Nth) continue;
    switch (rule.Action) {
      case TSimFaultAction::Drop:
        return;
      case TSimFaultAction::Corrupt:
        Corrupt(wire);
        break;
      case TSimFaultAction::Delay:
        at += rule.Value * 1'000'000;
        break;
      case TSimFaultAction::Duplicate:
        copies = 2;
        break;
      case TSimFaultAction::Stray:
        Schedule(device::EncodeFrame(TDriverFrame{static_cast<uint8_t>(rule.Value), 0, 0}), at);
        break;
    }
  }
  for (int i = 0; i < copies; ++i) Schedule(wire, at);
}

void TSimPeer::Handle(const TDriverFrame& frame, int64_t t) {
  TSimSettings& s = analyzer_.Settings();
  switch (frame.Command()) {
    case kCmdIdentifyMaster:
      Answer(Identification(kAnsMasterID, analyzer_.Sample().MasterID), t);
      break;
    case kCmdIdentifyMagnetic:
      Answer(Identification(kCmdIdentifyMagnetic, analyzer_.Sample().MagneticID), t);
      break;
    case kCmdUpload:
      Upload(frame, t);
      break;
    case kCmdControl:
      if (frame.Size() < 2) break;
      if (frame[1] == kControlHello) {
        Answer({kAnsStatus, analyzer_.Running(t) ? kSimStatusBusy : kSimStatusReady}, t);
      } else if (frame[1] == kControlStart) {
        const uint8_t status = analyzer_.Start(t);
        Answer({kAnsStatus, status}, t);
        if (status == kSimStatusStarted) {
          Answer({kAnsStatus, kSimStatusFinished}, analyzer_.FinishTime());
        }
      }
      break;
    case kCmdReadSamples:
      ReadBlock(t);
      break;
    case kCmdMasterSettings:
      if (frame.Size() < 2) break;
      s.Detector = frame[1] & 0x08;
      s.Filter = frame[1] & 0x03;
      if (frame.Size() >= 3) s.MasterExtra = frame[2];
      Answer({kAnsStatus, analyzer_.Running(t) ? kSimStatusBusy : kSimStatusReady}, t);
      break;
    case kCmdSystemTemperature:
      Answer(WordFrame(kCmdSystemTemperature, Tenths(analyzer_.SystemTemperature())), t);
      break;
    case kCmdSampleTemperature:
      Answer(WordFrame(kCmdSampleTemperature, Tenths(analyzer_.SampleTemperature(t))), t);
      break;
    case kCmdMagneticSettings: {
      TDriverFrame answer{kCmdMagneticSettings, static_cast<uint8_t>(s.Nitrogen), 0, 0, 0, 0, 0, 0};
      answer.SetWord(2, Left12(s.BiasRoughly));
      answer.SetWord(4, Left12(s.BiasPrecise));
      answer.SetWord(6, Left12(s.Gain));
      Answer(answer, t);
      break;
    }
    case kCmdAuxWord:
      Answer(WordFrame(kCmdAuxWord, static_cast<uint16_t>(s.AuxWord)), t);
      break;
    case kCmdSetpoint:
      if (frame.Size() < 3) break;
      analyzer_.SetSetpoint(frame.Word(1) / 10.0, t);
      Answer({kAnsAccepted}, t);
      break;
    case kCmdSetMagnetic:
      if (frame.Size() < 8) break;
      s.Nitrogen = frame[1];
      s.BiasRoughly = frame.Word(2) >> 4;
      s.BiasPrecise = frame.Word(4) >> 4;
      s.Gain = frame.Word(6) >> 4;
      Answer({kAnsAccepted}, t);
      break;
    default:
      // Unknown commands go unanswered, as on a line where nobody understood them.
      break;
  }
}

// Chunks must follow one another from offset 0; the code is checked as it comes, so a refusal
// (0x01 after the chunk's acknowledgement) is sent once, at the chunk that showed it. The last
// chunk sent again (its acknowledgement was lost or late) takes its own place again.
void TSimPeer::Upload(const TDriverFrame& frame, int64_t t) {
  if (frame.Size() < 3) return;
  const uint16_t offset = frame.Word(1);
  if (offset == 0) {
    upload_.clear();
    uploadRefused_ = false;
    analyzer_.Unload();
  }
  std::string why;
  if (!uploadRefused_) {
    if (offset == lastChunk_ && offset < upload_.size()) upload_.resize(offset);
    const size_t from = upload_.size();
    if (offset != from) {
      why = "chunk at offset " + std::to_string(offset) + " where " + std::to_string(from) +
            " was due";
    } else {
      lastChunk_ = offset;
      upload_.insert(upload_.end(), frame.Data() + 3, frame.Data() + frame.Size());
      if (upload_.size() > kSimMaxCode) why = "longer than 32767 bytes";
      bool complete = false;
      for (size_t i = from; why.empty() && i < upload_.size(); ++i) {
        if ((upload_[i] & 0x07) != 0x07) continue;
        if (upload_[i] == kSimEndMark && i + 1 == upload_.size()) {
          complete = true;
        } else {
          why = "delay class 7 at offset " + std::to_string(i);
        }
      }
      if (complete && !analyzer_.Load(upload_.data(), upload_.size())) {
        why = analyzer_.Program().Error();
      }
    }
  }
  Answer(WordFrame(kAnsAcknowledge, offset), t);
  if (!why.empty()) {
    uploadRefused_ = true;
    refusal_ = why;
    Answer({kAnsRefused}, t);
  }
}

void TSimPeer::ReadBlock(int64_t t) {
  const std::vector<uint8_t>& block = analyzer_.Block(t);
  const size_t piece = static_cast<size_t>(std::max(line_.PieceSize, 1));
  for (size_t offset = 0; offset < block.size(); offset += piece) {
    const size_t n = std::min(piece, block.size() - offset);
    TDriverFrame frame;
    frame.Resize(static_cast<int32_t>(n + 3));
    frame[0] = kAnsPiece;
    frame.SetWord(1, static_cast<uint16_t>(offset));
    std::copy_n(block.data() + offset, n, frame.Data() + 3);
    Answer(frame, t);
  }
  Answer(WordFrame(kAnsAcknowledge, static_cast<uint16_t>(block.size())), t);
}

}  // namespace quellar::sim
