#include "sim/SimProgram.h"

namespace quellar::sim {

namespace {

constexpr int64_t kDelay[8] = {100, 500, 5000, 50000, 500000, 5000000, 500000000, 0};

}  // namespace

bool TSimProgram::Refuse(const std::string& why, size_t offset) {
  valid_ = false;
  error_ = why;
  errorOffset_ = offset;
  duration_ = 0;
  impulses_.clear();
  strobes_.clear();
  return false;
}

bool TSimProgram::Decode(const uint8_t* code, size_t size) {
  impulses_.clear();
  strobes_.clear();
  if (size == 0) return Refuse("empty program", 0);
  if (size > kSimMaxCode) return Refuse("longer than 32767 bytes", kSimMaxCode);
  if (code[size - 1] != kSimEndMark) return Refuse("no end mark", size - 1);
  int64_t t = 0;
  bool strobing = false, pulsing = false;
  for (size_t i = 0; i + 1 < size; ++i) {
    const uint8_t b = code[i];
    const int delayClass = b & 0x07;
    if (delayClass == 7) return Refuse("delay class 7 before the end mark", i);
    const bool window = (b & 0x80) == 0;
    const bool strobe = (b & 0x10) == 0;
    const bool impulse = (b & 0x08) == 0;
    // The window gates the transmitter and blanks the receiver.
    if (impulse && !window) return Refuse("radio frequency outside the impulse window", i);
    if (strobe && window) return Refuse("sample inside the impulse window", i);
    if (strobe && !strobing) strobes_.push_back(t);
    strobing = strobe;
    const uint8_t phase = static_cast<uint8_t>((b >> 5) & 0x03);
    if (impulse && pulsing && impulses_.back().Phase == phase) {
      impulses_.back().Duration += kDelay[delayClass];
    } else if (impulse) {
      impulses_.push_back({t, kDelay[delayClass], phase});
    }
    pulsing = impulse;
    t += kDelay[delayClass];
  }
  valid_ = true;
  error_.clear();
  errorOffset_ = 0;
  duration_ = t;
  return true;
}

}  // namespace quellar::sim
