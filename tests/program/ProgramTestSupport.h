#pragma once
// Helpers shared by the program tests: hex byte texts and one-call compilation.
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "program/DrvCompilerBytecode.h"

namespace quellar::program::test {

inline std::vector<uint8_t> Hex(const std::string& text) {
  std::istringstream in(text);
  std::vector<uint8_t> bytes;
  unsigned value = 0;
  while (in >> std::hex >> value) bytes.push_back(static_cast<uint8_t>(value));
  return bytes;
}

inline std::vector<uint8_t> Repeat(uint8_t byte, size_t count) {
  return std::vector<uint8_t>(count, byte);
}

inline std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Compiled {
  bool ok;
  std::vector<uint8_t> code;
  std::vector<double> marks;
  double time;
};

inline Compiled CompileProgram(TProgramCompiler& program, bool idle) {
  Compiled result;
  result.ok = program.Compile(&result.code, idle);
  const TProgramMarkers& markers = program.Markers();
  for (int32_t i = 0; i < markers.Count(); ++i) result.marks.push_back(markers.Mark(i));
  result.time = markers.Time();
  return result;
}

}  // namespace quellar::program::test
