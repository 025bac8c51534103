#pragma once
// The program-code compiler: admits values rounded to the 100 ns code step and compiles a
// program into the analyzer's program code, filling the time marks as it goes.
//
// Code bytes: bit 7 impulse window (0 inside), bits 6-5 phase, bit 4 strobe (0 = sampling),
// bit 3 impulse on (0 = on), bits 2-0 delay class. Each byte holds its lines for the length
// of its class; a period is written greedily, longest class first. 0xFF ends the code.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "program/DrvCompiler.h"

namespace quellar::program {

// Longest program code the analyzer takes, end mark included.
constexpr size_t kMaxCodeSize = 32767;

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
constexpr int64_t kMinReading = 500;  // shortest admitted reading window and interval

class TProgramCompilerBytecode : public TProgramCompiler {
 public:
  // Admission: values are rounded up to the code step; refused (false, nothing added) when a
  // rounded duration is not above 0, a reading's window or interval is under 500, a value
  // would not fit 64 bits after rounding, or a package has no source or a count of 0.
  bool AddImpulse(uint8_t Phase, int64_t Duration, int64_t Silence) override;
  bool AddSilence(int64_t Duration) override;
  bool AddReading(int64_t Duration, int64_t Interval) override;
  bool AddPackage(const TProgramCompiler* Source, int32_t Count) override;

  // Compiles the items; on success appends the code (end mark included) to Stream and
  // returns true. False, with Stream untouched, when Stream is absent or the code would be
  // longer than kMaxCodeSize. The marks describe this compilation either way.
  bool Compile(std::vector<uint8_t>* Stream, bool Idle) override;

 private:
  struct Plan;
  class Plans;

  void EmitItems(const TProgramCompiler& Program);
  void EmitItem(const TProgramItem& Item);
  void EmitDelay(uint8_t Opcode, int64_t Length);
  void PresetPhase();

  // Scratch of the compilation in progress.
  std::vector<uint8_t>* code_ = nullptr;
  bool tooLong_ = false;
};

// Opcode of an impulse of a phase code (phase 0 for codes outside 0..3).
uint8_t ImpulseOpcode(uint8_t Phase);
// Strobe length of a reading's interval.
int64_t StrobeLength(int64_t Interval);

}  // namespace quellar::program
