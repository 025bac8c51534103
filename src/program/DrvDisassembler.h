#pragma once
// Reads program code back into a timeline of periods: what the analyzer plays, when and for
// how long. Used by the command-line tool and by tests as an independent check of the emitter.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quellar::program {

enum class PeriodKind { LeadIn, Impulse, Tail, Strobe, Silence };

// A run of consecutive bytes of one kind (and one phase, for impulses).
struct CodePeriod {
  PeriodKind kind;
  uint8_t phase;  // phase code of an impulse, or the one a lead-in presets
  size_t offset;  // first byte
  size_t bytes;
  int64_t start;  // time units from the start of the program
  int64_t length;
};

struct CodeListing {
  std::vector<CodePeriod> periods;  // as far as the code could be read
  std::vector<int64_t> strobes;     // start of every strobe, one per sample
  int64_t duration = 0;             // total length of the periods read
  bool valid = false;
  size_t errorOffset = 0;  // where reading stopped when not valid
  std::string error;       // why, when not valid
};

CodeListing Disassemble(const uint8_t* code, size_t size);
inline CodeListing Disassemble(const std::vector<uint8_t>& code) {
  return Disassemble(code.data(), code.size());
}

// "lead-in", "impulse", "tail", "strobe", "silence".
const char* PeriodName(PeriodKind kind);
// Degrees of a phase code: 0, 90, 180, 270.
int PhaseDegrees(uint8_t phase);

}  // namespace quellar::program
