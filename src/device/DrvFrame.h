#pragma once
// Frames on the serial line: the frame content class, the CRC-16/X-25 check sequence, the
// byte-stuffing encoder and the receiver that cuts a byte stream into frames.
//
// On the wire: C0, stuffed content, stuffed FCS low byte, stuffed FCS high byte, C1.
// 7D, C0 and C1 inside are sent as 7D followed by the byte xor 20.
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <list>
#include <memory>
#include <vector>

namespace quellar::device {

constexpr uint8_t kFrameStart = 0xC0;
constexpr uint8_t kFrameEnd = 0xC1;
constexpr uint8_t kFrameEscape = 0x7D;
constexpr uint8_t kFrameEscapeXor = 0x20;
constexpr uint16_t kFcsInit = 0xFFFF;
// Register value after running over content and both check bytes of an intact frame.
constexpr uint16_t kFcsGoodResidue = 0xF0B8;

// Exchanges the two bytes of a 16-bit value (payload numbers are big-endian).
constexpr uint16_t Swap16(uint16_t value) {
  return static_cast<uint16_t>((value >> 8) | (value << 8));
}

// Table of the reflected polynomial 0x8408, one look-up per byte.
constexpr std::array<uint16_t, 256> MakeFcsTable() {
  std::array<uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    unsigned reg = i;
    for (int bit = 0; bit < 8; ++bit) reg = (reg & 1) ? (reg >> 1) ^ 0x8408u : reg >> 1;
    table[i] = static_cast<uint16_t>(reg);
  }
  return table;
}
inline constexpr std::array<uint16_t, 256> kFcsTable = MakeFcsTable();

// Runs the CRC register over a block; start with kFcsInit.
constexpr uint16_t FcsUpdate(uint16_t reg, const uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    reg = static_cast<uint16_t>(kFcsTable[(bytes[i] ^ reg) & 0xFF] ^ (reg >> 8));
  }
  return reg;
}

// The content of one frame: byte 0 is the command or answer code, then the payload.
class TDriverFrame {
 public:
  TDriverFrame() = default;
  TDriverFrame(std::initializer_list<uint8_t> bytes);
  TDriverFrame(const TDriverFrame&) = default;
  TDriverFrame& operator=(const TDriverFrame&) = default;
  TDriverFrame(TDriverFrame&&) noexcept = default;
  TDriverFrame& operator=(TDriverFrame&&) noexcept = default;
  ~TDriverFrame() = default;

  // nullptr when empty.
  uint8_t* Data() { return bytes_.empty() ? nullptr : bytes_.data(); }
  const uint8_t* Data() const { return bytes_.empty() ? nullptr : bytes_.data(); }
  int32_t Size() const { return static_cast<int32_t>(bytes_.size()); }
  uint8_t& operator[](size_t i) { return bytes_[i]; }
  uint8_t operator[](size_t i) const { return bytes_[i]; }
  const std::vector<uint8_t>& Bytes() const { return bytes_; }

  void Clear();
  // Keeps the leading bytes; bytes added are zero, never left undefined.
  void Resize(int32_t size);
  void Assign(const uint8_t* buffer, int32_t count);
  // Copies the code and n payload bytes (n + 1 bytes in all).
  void AssignCommand(const uint8_t* buffer, int32_t payloadCount);
  // Byte 0, or 255 when the frame is empty.
  uint8_t Command() const;
  void SetCommand(uint8_t code);
  // The CRC register (not complemented) over all bytes; 0xFFFF for an empty frame.
  uint16_t Checksum() const;
  // Big-endian 16-bit number at bytes i, i + 1 (the caller checks the size).
  uint16_t Word(size_t i) const;
  void SetWord(size_t i, uint16_t value);

  bool operator==(const TDriverFrame& other) const { return bytes_ == other.bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

using TDriverFrameList = std::list<std::unique_ptr<TDriverFrame>>;

// Appends the wire form of a frame (flags, stuffing, check sequence) to out.
void EncodeFrame(const TDriverFrame& frame, std::vector<uint8_t>& out);
std::vector<uint8_t> EncodeFrame(const TDriverFrame& frame);

// The receiving half of the codec. Keeps its state between calls, so a frame may arrive
// split over any number of reads; completed frames whose check holds go to the list.
class TDriverFrameDecoder {
 public:
  static constexpr int32_t kBufferSize = 65536;
  // The fill position starts again at 0 after this many gathered bytes.
  static constexpr int32_t kWrapPosition = 65535;

  TDriverFrameDecoder();
  void Feed(const uint8_t* bytes, size_t count, TDriverFrameList& frames);
  // -1 outside a frame.
  int32_t FramePos() const { return framePos_; }
  // Frames closed so far whose check failed (for the trace).
  uint64_t Rejected() const { return rejected_; }

 private:
  std::unique_ptr<uint8_t[]> frameBuffer_;
  int32_t framePos_ = -1;
  uint8_t prevByte_ = 0;
  uint8_t curByte_ = 0;
  uint64_t rejected_ = 0;
};

}  // namespace quellar::device
