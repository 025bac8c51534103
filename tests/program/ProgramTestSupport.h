#pragma once
// Programs written as text, code bytes as hex text, and one-call compilation.
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
  for (std::string word; in >> word;) {
    const size_t star = word.find('*');
    const size_t count = star == std::string::npos ? 1 : std::stoul(word.substr(star + 1));
    bytes.insert(bytes.end(), count, static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
  }
  return bytes;
}

// Adds the items through the program's own add operations, so its admission rules apply.
template <class Program = TProgramCompilerBytecode>
void Build(TProgramCompiler& program, const std::string& text) {
  std::istringstream in(text);
  std::vector<std::pair<std::unique_ptr<Program>, int32_t>> open;
  auto target = [&]() -> TProgramCompiler& { return open.empty() ? program : *open.back().first; };
  for (std::string word; in >> word;) {
    std::istringstream fields(word.find(':') == std::string::npos ? "" : word.substr(2));
    std::vector<int64_t> v;
    for (std::string f; std::getline(fields, f, ':');) v.push_back(std::stoll(f));
    if (word[0] == 'i') target().AddImpulse(static_cast<uint8_t>(v[0]), v[1], v[2]);
    if (word[0] == 's') target().AddSilence(v[0]);
    if (word[0] == 'r') target().AddReading(v[0], v[1]);
    if (word[0] == 'p') open.emplace_back(std::make_unique<Program>(), static_cast<int32_t>(v[0]));
    if (word == "end") {
      auto body = std::move(open.back());
      open.pop_back();
      target().AddPackage(body.first.get(), body.second);
    }
  }
}

// The items of a program in the text form of Build.
inline std::string Describe(const TProgramCompiler& program) {
  std::string text;
  for (int64_t i = 0; i < program.Count(); ++i) {
    const TProgramItem* item = &program.Items(i);
    text += text.empty() ? "" : " ";
    if (auto* p = dynamic_cast<const TProgramImpulse*>(item))
      text += "i:" + std::to_string(p->Phase) + ":" + std::to_string(p->Duration) + ":" +
              std::to_string(p->Silence);
    if (auto* p = dynamic_cast<const TProgramSilence*>(item))
      text += "s:" + std::to_string(p->Duration);
    if (auto* p = dynamic_cast<const TProgramReading*>(item))
      text += "r:" + std::to_string(p->Duration) + ":" + std::to_string(p->Interval);
    if (auto* p = dynamic_cast<const TProgramPackage*>(item)) {
      const std::string body = Describe(p->Program());
      text += "p:" + std::to_string(p->Count) + (body.empty() ? "" : " " + body) + " end";
    }
  }
  return text;
}

struct Compiled {
  bool ok;
  std::vector<uint8_t> code;
  std::vector<double> marks;
  double time;
};

inline Compiled CompileProgram(TProgramCompiler& program, bool idle) {
  Compiled result{};
  result.ok = program.Compile(&result.code, idle);
  for (int32_t i = 0; i < program.Markers().Count(); ++i)
    result.marks.push_back(program.Markers().Mark(i));
  result.time = program.Markers().Time();
  return result;
}

}  // namespace quellar::program::test
