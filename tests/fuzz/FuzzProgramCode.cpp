// Program code from the input, read by the library's disassembler and by the virtual analyzer's
// own reader: they must agree on whether the analyzer can run it and, when it can, on its
// running time, its samples and its impulses.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "FuzzInput.h"
#include "program/DrvCodeFormat.h"
#include "program/DrvCompilerBytecode.h"
#include "program/DrvDisassembler.h"
#include "sim/SimProgram.h"

using namespace quellar;
using fuzz::Require;

namespace {

void Compare(const uint8_t* code, size_t size) {
  const program::CodeListing listing = program::Disassemble(code, size);
  sim::TSimProgram reader;
  const bool valid = reader.Decode(code, size);
  Require(listing.valid == valid && reader.Valid() == valid);
  if (!valid) {
    Require(!reader.Error().empty() && !listing.error.empty());
    Require(reader.Strobes().empty() && reader.Impulses().empty());
    return;
  }
  Require(size <= program::kMaxCodeSize && code[size - 1] == program::kEndMark);
  Require(listing.duration == reader.Duration());
  Require(listing.strobes == reader.Strobes());
  size_t next = 0;
  for (const program::CodePeriod& period : listing.periods) {
    if (period.kind != program::PeriodKind::Impulse) continue;
    Require(next < reader.Impulses().size());
    const sim::TSimImpulse& impulse = reader.Impulses()[next++];
    Require(impulse.Start == period.start && impulse.Duration == period.length &&
            impulse.Phase == period.phase);
  }
  Require(next == reader.Impulses().size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Compare(data, size);
  // At the analyzer's limit: the input after silence bytes that make 32,767 bytes, or one more.
  if (size >= 2 && size <= program::kMaxCodeSize && data[0] == 0xF8) {
    std::vector<uint8_t> code(program::kMaxCodeSize - size + (data[1] & 1), 0xF8);
    code.insert(code.end(), data, data + size);
    Compare(code.data(), code.size());
  }
  return 0;
}
