#pragma once
// Helpers shared by the program tests: programs written as text, code bytes as hex text, and
// one-call compilation.
//   i:PHASE:DURATION:SILENCE  s:DURATION  r:DURATION:INTERVAL  p:COUNT ... end
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "program/DrvCompilerBytecode.h"

namespace quellar::program::test {

// "79*8 FF": bytes in hex, each optionally repeated.
inline std::vector<uint8_t> Hex(const std::string& text) {
  std::istringstream in(text);
  std::vector<uint8_t> bytes;
  std::string word;
  while (in >> word) {
    const size_t star = word.find('*');
    const auto value = static_cast<uint8_t>(std::stoul(word.substr(0, star), nullptr, 16));
    const size_t count = star == std::string::npos ? 1 : std::stoul(word.substr(star + 1));
    bytes.insert(bytes.end(), count, value);
  }
  return bytes;
}

// Adds the items of the text through program's own add operations (so the bytecode compiler
// applies its admission rules; the base class stores values unchanged).
template <class Program = TProgramCompilerBytecode>
void Build(TProgramCompiler& program, const std::string& text) {
  std::istringstream in(text);
  std::vector<std::pair<std::unique_ptr<Program>, int32_t>> open;
  std::string word;
  auto target = [&]() -> TProgramCompiler& { return open.empty() ? program : *open.back().first; };
  while (in >> word) {
    std::istringstream fields(word.find(':') == std::string::npos ? "" : word.substr(2));
    std::vector<int64_t> v;
    for (std::string f; std::getline(fields, f, ':');) v.push_back(std::stoll(f));
    switch (word[0]) {
      case 'i':
        target().AddImpulse(static_cast<uint8_t>(v[0]), v[1], v[2]);
        break;
      case 's':
        target().AddSilence(v[0]);
        break;
      case 'r':
        target().AddReading(v[0], v[1]);
        break;
      case 'p':
        open.emplace_back(std::make_unique<Program>(), static_cast<int32_t>(v[0]));
        break;
      default: {  // end
        auto body = std::move(open.back());
        open.pop_back();
        target().AddPackage(body.first.get(), body.second);
      }
    }
  }
}

// The items of a program in the text form of Build.
class TDescriber final : public TProgramItemVisitor {
 public:
  static std::string Of(const TProgramCompiler& program) {
    TDescriber describer;
    describer.Items(program);
    return describer.text_.str();
  }

 private:
  void Items(const TProgramCompiler& program) {
    for (int64_t i = 0; i < program.Count(); ++i) program.Items(i).Accept(*this);
  }
  void Word(const std::string& word) { text_ << (text_.tellp() > 0 ? " " : "") << word; }
  void Visit(const TProgramImpulse& item) override {
    Word("i:" + std::to_string(item.Phase) + ":" + std::to_string(item.Duration) + ":" +
         std::to_string(item.Silence));
  }
  void Visit(const TProgramSilence& item) override { Word("s:" + std::to_string(item.Duration)); }
  void Visit(const TProgramReading& item) override {
    Word("r:" + std::to_string(item.Duration) + ":" + std::to_string(item.Interval));
  }
  void Visit(const TProgramPackage& item) override {
    Word("p:" + std::to_string(item.Count));
    Items(item.Program());
    Word("end");
  }
  std::ostringstream text_;
};

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

inline Compiled CompileText(const std::string& text, bool idle) {
  TProgramCompilerBytecode program;
  Build(program, text);
  return CompileProgram(program, idle);
}

}  // namespace quellar::program::test
