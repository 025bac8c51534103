#pragma once
// The program-code compiler, the program layer's public face: it admits values rounded to the
// 100 ns code step, says why it refused one, and compiles a program into the analyzer's
// program code, filling the time marks as it goes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "program/DrvCompiler.h"

namespace quellar::program {

// Longest program code the analyzer takes, end mark included.
constexpr size_t kMaxCodeSize = 32767;
// Shortest admitted reading window and interval.
constexpr int64_t kMinReading = 500;

// Why an add operation refused its item.
enum class TRefusal : uint8_t {
  None,
  NotAboveZero,  // a duration of 0 or less after rounding
  BelowMinimum,  // a reading's window or interval under kMinReading after rounding
  TooLarge,      // a value that does not fit 64 bits once rounded up
  NoSource,      // a package without a program
  ZeroCount,     // a package repeated 0 times
};

// The outcome of the last add operation.
struct TAdmission {
  TRefusal refusal = TRefusal::None;
  const char* value =
      "";               // the refused value: "duration", "silence", "interval", "source", "count"
  int64_t rounded = 0;  // that value after rounding up (as given when it cannot be)
};

class TProgramCompilerBytecode : public TProgramCompiler, private TProgramItemVisitor {
 public:
  // Admission: values are rounded up to the code step; refused (false, nothing added) when a
  // rounded duration is not above 0, a reading's window or interval is under kMinReading, a
  // value would not fit 64 bits after rounding, or a package has no source or a count of 0.
  bool AddImpulse(uint8_t phase, int64_t duration, int64_t silence) override;
  bool AddSilence(int64_t duration) override;
  bool AddReading(int64_t duration, int64_t interval) override;
  bool AddPackage(const TProgramCompiler* source, int32_t count) override;
  // Why the last add operation refused its item (TRefusal::None when it was admitted).
  const TAdmission& LastAdmission() const { return admission_; }

  // Compiles the items; on success appends the code (end mark included) to stream and
  // returns true. False, with stream untouched, when stream is absent or the code would be
  // longer than kMaxCodeSize. The marks describe this compilation either way.
  bool Compile(std::vector<uint8_t>* stream, bool idle) override;

 private:
  struct Plan;
  class Plans;

  bool Admit(TRefusal refusal, const char* value, int64_t rounded);
  // Rounds value up to the code step and admits it when it reaches minimum.
  bool AdmitLength(const char* value, int64_t given, int64_t minimum, int64_t& rounded);

  void EmitItems(const TProgramCompiler& program);
  // Emission of one item of each kind.
  void Visit(const TProgramImpulse& item) override;
  void Visit(const TProgramSilence& item) override;
  void Visit(const TProgramReading& item) override;
  void Visit(const TProgramPackage& item) override;
  void EmitDelay(uint8_t opcode, int64_t length);
  void PresetPhase();

  TAdmission admission_;
  // Scratch of the compilation in progress.
  std::vector<uint8_t>* code_ = nullptr;
  bool tooLong_ = false;
};

}  // namespace quellar::program
