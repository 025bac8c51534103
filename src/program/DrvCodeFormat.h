#pragma once
// The analyzer's program code, as the emitter writes it and the disassembler reads it. Inside
// the program layer only: users of the compiler see the code as bytes.
//
// Code bytes: bit 7 impulse window (0 inside), bits 6-5 phase, bit 4 strobe (0 = sampling),
// bit 3 impulse on (0 = on), bits 2-0 delay class. Each byte holds its lines for the length
// of its class; a period is written greedily, longest class first. 0xFF ends the code.
#include <cstdint>

namespace quellar::program {

// Length of one byte of each delay class 0..6.
constexpr int64_t kDelayClassLength[7] = {100, 500, 5000, 50000, 500000, 5000000, 500000000};

// Opcodes: the high five bits of a byte, OR-ed with its delay class.
constexpr uint8_t kOpWindow = 0x78;   // impulse lead-in and tail
constexpr uint8_t kOpImpulse = 0x10;  // impulse at phase 0; phase code in bits 6-5
constexpr uint8_t kOpStrobe = 0xE8;
constexpr uint8_t kOpSilence = 0xF8;
constexpr uint8_t kEndMark = 0xFF;

constexpr int64_t kLeadIn = 100;
constexpr int64_t kTail = 4000;
constexpr int64_t kShortStrobe = 200;  // for intervals below 700
constexpr int64_t kLongStrobe = 500;
constexpr int64_t kShortStrobeBelow = 700;

// Opcode of an impulse of a phase code (phase 0 for codes outside 0..3).
constexpr uint8_t ImpulseOpcode(uint8_t phase) {
  return phase <= 3 ? static_cast<uint8_t>(kOpImpulse | (phase << 5)) : kOpImpulse;
}
// Strobe length of a reading's interval.
constexpr int64_t StrobeLength(int64_t interval) {
  return interval < kShortStrobeBelow ? kShortStrobe : kLongStrobe;
}

}  // namespace quellar::program
