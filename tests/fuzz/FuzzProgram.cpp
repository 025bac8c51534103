// An impulse program from the input: impulses, silences and readings with extreme and
// non-finite values pass the compiler object's conversions into the program model, packages
// nest. Whenever a compilation succeeds its code fits the analyzer, and the analyzer's own
// reader of the code samples at the time marks and runs for the running time; normal and idle
// compilations agree, and so does a copy of the program.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "FuzzInput.h"
#include "program/DrvCodeFormat.h"
#include "program/DrvCompilerBytecode.h"
#include "program/DrvConversions.h"
#include "program/DrvDisassembler.h"
#include "sim/SimProgram.h"

using namespace quellar;
using namespace quellar::program;
using fuzz::Require;

namespace {

constexpr size_t kMaxDepth = 12;

struct Compiled {
  bool ok = false;
  std::vector<uint8_t> code;
  std::vector<double> marks;
  double time = 0;
};

Compiled Compile(TProgramCompilerBytecode& program, bool idle) {
  Compiled c;
  c.ok = program.Compile(&c.code, idle);
  const TProgramMarkers& markers = program.Markers();
  for (int32_t i = 0; i < markers.Count(); ++i) c.marks.push_back(markers.Mark(i));
  c.time = markers.Time();
  // The marks describe the compilation, or the part of it written, either way.
  Require(std::is_sorted(c.marks.begin(), c.marks.end()));
  if (!c.ok) {
    Require(c.code.empty());
    return c;
  }
  Require(!c.code.empty() && c.code.size() <= kMaxCodeSize && c.code.back() == kEndMark);
  Require(Disassemble(c.code).valid);
  sim::TSimProgram reader;
  Require(reader.Decode(c.code.data(), c.code.size()));
  Require(static_cast<double>(reader.Duration()) == c.time);
  Require(reader.Strobes().size() == c.marks.size());
  for (size_t i = 0; i < c.marks.size(); ++i)
    Require(static_cast<double>(reader.Strobes()[i]) == c.marks[i]);
  return c;
}

// The conversions of the compiler object's AddImpulse, AddSilence and AddReading.
void AddItem(fuzz::TInput& in, TProgramCompilerBytecode& program, uint8_t kind) {
  const double a = in.Real(), b = in.Real();
  int64_t x = 0, y = 0;
  if (kind == 0) {
    const double silence = in.Real();
    if (RoundHalfEven(a, x) && RoundHalfEven(std::max(silence, kImpulseSilenceFloor), y))
      program.AddImpulse(PhaseCodeFromDegrees(b), x, y);
  } else if (kind == 1) {
    if (RoundHalfEven(a, x)) program.AddSilence(x);
  } else if (RoundHalfEven(a, x) && RoundHalfEven(b, y)) {
    program.AddReading(x, y);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static constexpr int32_t kCounts[] = {1, 2, 3, 0, -1, 7, 1000, 65536, INT32_MAX, INT32_MIN};
  fuzz::TInput in(data, size);
  std::vector<std::unique_ptr<TProgramCompilerBytecode>> open;
  std::vector<int32_t> counts;
  open.push_back(std::make_unique<TProgramCompilerBytecode>());
  auto close = [&] {
    const std::unique_ptr<TProgramCompilerBytecode> body = std::move(open.back());
    open.pop_back();
    open.back()->AddPackage(body.get(), counts.back());
    counts.pop_back();
  };
  while (!in.Empty()) {
    const uint8_t op = in.Byte() % 5;
    if (op < 3) {
      AddItem(in, *open.back(), op);
    } else if (op == 3 && open.size() < kMaxDepth) {
      counts.push_back(in.Bit() ? in.Pick(kCounts) : static_cast<int32_t>(in.Below(20)));
      open.push_back(std::make_unique<TProgramCompilerBytecode>());
    } else if (op == 4 && open.size() > 1) {
      close();
    }
  }
  while (open.size() > 1) close();

  TProgramCompilerBytecode& program = *open.back();
  const Compiled normal = Compile(program, false);
  const Compiled idle = Compile(program, true);
  if (normal.ok && idle.ok) Require(normal.marks == idle.marks && normal.time == idle.time);
  TProgramCompilerBytecode copy;
  Require(copy.Assign(&program));
  const Compiled again = Compile(copy, false);
  Require(again.ok == normal.ok && again.code == normal.code && again.marks == normal.marks);
  return 0;
}
