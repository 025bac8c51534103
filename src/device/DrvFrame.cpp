#include "device/DrvFrame.h"

#include <cstring>

#include "errors/Asserts.h"

namespace quellar::device {

namespace {

constexpr Tag kTagFrameCreate = "{8F85BF1B-FC4B-4115-BE2C-B4EEA4DB3A1E}";
constexpr Tag kTagFrameClear = "{4E2BF9A1-978B-433A-A08D-232612A36CA4}";
constexpr Tag kTagFrameResize = "{3DDC6821-B787-43F2-A64F-FB6CC4ABB2FC}";
constexpr Tag kTagFrameAssign = "{D03A1E93-3CA2-4EAC-B5DF-F065E5F2C7B9}";
constexpr Tag kTagFrameAssignCommand = "{20828AA5-25DA-4BE9-A20D-8B1B9B4D7B2A}";
constexpr Tag kTagFrameCommand = "{D6E039D9-C615-47D2-9921-2821AAD9D642}";
constexpr Tag kTagFrameSetCommand = "{B7EDBAE4-A724-4C65-AE7E-6353F228F52A}";
constexpr Tag kTagFrameChecksum = "{68FA49A7-27FE-4D00-8953-8043936C1C05}";
constexpr Tag kTagFrameWord = "{82ED29A3-6A0B-44B7-8BA7-4C0064D0B694}";
constexpr Tag kTagFrameSetWord = "{F97E3D6C-CC79-4B6B-895B-3332BFFF96F1}";
constexpr Tag kTagEncodeFrame = "{EEF67D03-A150-4907-AE3E-5DED189D7DF1}";
constexpr Tag kTagDecoderCreate = "{0456F21A-9F1E-48AE-99B2-977AE61B0E2D}";
constexpr Tag kTagDecoderFeed = "{7EA12866-F77C-4C61-AAD2-CA485C64D4EC}";

bool NeedsEscape(uint8_t b) {
  return b == kFrameEscape || b == kFrameStart || b == kFrameEnd;
}

void PutStuffed(std::vector<uint8_t>& out, uint8_t b) {
  if (NeedsEscape(b)) {
    out.push_back(kFrameEscape);
    out.push_back(static_cast<uint8_t>(b ^ kFrameEscapeXor));
  } else {
    out.push_back(b);
  }
}

}  // namespace

TDriverFrame::TDriverFrame(std::initializer_list<uint8_t> bytes) {
  Guarded(kTagFrameCreate, [&] { bytes_.assign(bytes.begin(), bytes.end()); });
}

void TDriverFrame::Clear() {
  Guarded(kTagFrameClear, [&] {
    bytes_.clear();
    bytes_.shrink_to_fit();
  });
}

void TDriverFrame::Resize(int32_t size) {
  Guarded(kTagFrameResize, [&] {
    if (size < 0) Raise<EListError>("Frame size out of range");
    bytes_.resize(static_cast<size_t>(size));
  });
}

void TDriverFrame::Assign(const uint8_t* buffer, int32_t count) {
  Guarded(kTagFrameAssign, [&] {
    Resize(count);
    if (count > 0) std::memcpy(bytes_.data(), buffer, static_cast<size_t>(count));
  });
}

void TDriverFrame::AssignCommand(const uint8_t* buffer, int32_t payloadCount) {
  Guarded(kTagFrameAssignCommand, [&] {
    if (payloadCount < 0) Raise<EListError>("Frame size out of range");
    Assign(buffer, payloadCount + 1);
  });
}

uint8_t TDriverFrame::Command() const {
  return Guarded(kTagFrameCommand,
                 [&]() -> uint8_t { return bytes_.empty() ? uint8_t{255} : bytes_[0]; });
}

void TDriverFrame::SetCommand(uint8_t code) {
  Guarded(kTagFrameSetCommand, [&] {
    if (bytes_.empty()) Resize(1);
    bytes_[0] = code;
  });
}

uint16_t TDriverFrame::Checksum() const {
  return Guarded(kTagFrameChecksum,
                 [&] { return FcsUpdate(kFcsInit, bytes_.data(), bytes_.size()); });
}

uint16_t TDriverFrame::Word(size_t i) const {
  return Guarded(kTagFrameWord, [&] {
    if (i + 1 >= bytes_.size()) Raise<EListError>("Frame word out of range");
    return static_cast<uint16_t>((bytes_[i] << 8) | bytes_[i + 1]);
  });
}

void TDriverFrame::SetWord(size_t i, uint16_t value) {
  Guarded(kTagFrameSetWord, [&] {
    if (i + 1 >= bytes_.size()) Raise<EListError>("Frame word out of range");
    bytes_[i] = static_cast<uint8_t>(value >> 8);
    bytes_[i + 1] = static_cast<uint8_t>(value & 0xFF);
  });
}

void EncodeFrame(const TDriverFrame& frame, std::vector<uint8_t>& out) {
  Guarded(kTagEncodeFrame, [&] {
    // Worst case: every content and check byte escaped, plus the two flags.
    out.reserve(out.size() + (static_cast<size_t>(frame.Size()) + 2) * 2 + 2);
    out.push_back(kFrameStart);
    const uint8_t* data = frame.Data();
    for (int32_t i = 0; i < frame.Size(); ++i) PutStuffed(out, data[i]);
    const uint16_t fcs = static_cast<uint16_t>(~frame.Checksum());
    PutStuffed(out, static_cast<uint8_t>(fcs & 0xFF));
    PutStuffed(out, static_cast<uint8_t>(fcs >> 8));
    out.push_back(kFrameEnd);
  });
}

std::vector<uint8_t> EncodeFrame(const TDriverFrame& frame) {
  std::vector<uint8_t> out;
  EncodeFrame(frame, out);
  return out;
}

TDriverFrameDecoder::TDriverFrameDecoder() {
  Guarded(kTagDecoderCreate,
          [&] { frameBuffer_ = std::make_unique<uint8_t[]>(static_cast<size_t>(kBufferSize)); });
}

void TDriverFrameDecoder::Feed(const uint8_t* bytes, size_t count, TDriverFrameList& frames) {
  Guarded(kTagDecoderFeed, [&] {
    for (size_t i = 0; i < count; ++i) {
      prevByte_ = curByte_;
      curByte_ = bytes[i];
      // Flags act before unescaping: a raw C0 or C1 is always a flag, even after 7D.
      if (curByte_ == kFrameStart) {
        framePos_ = 0;
      } else if (curByte_ == kFrameEnd) {
        // A code and two check bytes at least.
        if (framePos_ > 2) {
          const size_t n = static_cast<size_t>(framePos_);
          if (FcsUpdate(kFcsInit, frameBuffer_.get(), n) == kFcsGoodResidue) {
            auto frame = std::make_unique<TDriverFrame>();
            frame->Assign(frameBuffer_.get(), framePos_ - 2);
            frames.push_back(std::move(frame));
          } else {
            ++rejected_;
          }
        }
        framePos_ = -1;
      } else if (curByte_ != kFrameEscape) {
        if (prevByte_ == kFrameEscape) curByte_ ^= kFrameEscapeXor;
        if (framePos_ != -1) {
          if (framePos_ == kWrapPosition) framePos_ = 0;
          frameBuffer_[static_cast<size_t>(framePos_)] = curByte_;
          ++framePos_;
        }
        // An unescaped 7D data byte must not act as the escape of the byte after it.
        if (NeedsEscape(curByte_)) curByte_ = 0;
      }
    }
  });
}

}  // namespace quellar::device
