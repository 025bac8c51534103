#include "ProgramItems.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <memory>

#include "program/DrvConversions.h"

namespace quellar::tool {

namespace {

using program::kCodeStep;
using program::kMinReading;
using program::TProgramCompilerBytecode;

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    fields.push_back(
        text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return fields;
    start = end + 1;
  }
}

bool ParseNumber(const std::string& text, double& value) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size() && std::isfinite(value);
}

bool ParseCount(const std::string& text, long long& value) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtoll(text.c_str(), &end, 10);
  return errno == 0 && end == text.c_str() + text.size() && value >= INT32_MIN &&
         value <= INT32_MAX;
}

// Why the model refuses a duration that must end above Minimum after rounding up.
std::string LengthRule(const char* what, int64_t value, int64_t minimum) {
  int64_t rounded = 0;
  if (!program::TryRoundUpToStep(value, kCodeStep, rounded))
    return std::string(what) + " is too large to round up to the 100 ns step";
  if (minimum <= 1)
    return std::string(what) + " must be above 0 ns (it is " + std::to_string(value) + ")";
  return std::string(what) + " must be at least " + std::to_string(minimum) +
         " ns after rounding up to 100 ns (it is " + std::to_string(rounded) + ")";
}

bool Admissible(int64_t value, int64_t minimum) {
  int64_t rounded = 0;
  return program::TryRoundUpToStep(value, kCodeStep, rounded) && rounded >= minimum;
}

struct Level {
  std::unique_ptr<TProgramCompilerBytecode> program;
  int32_t count;
  std::string item;
  size_t index;
};

}  // namespace

ItemsResult AddItems(const std::vector<std::string>& Items, TProgramCompilerBytecode& Program) {
  ItemsResult result;
  std::vector<Level> open;  // packages not yet closed by "end"
  auto target = [&]() -> TProgramCompilerBytecode& {
    return open.empty() ? Program : *open.back().program;
  };
  auto fail = [&](size_t index, const std::string& item, const std::string& why) {
    result.error = "item " + std::to_string(index + 1) + " '" + item + "': " + why;
    return result;
  };
  auto refuse = [&](size_t index, const std::string& item, const std::string& rule) {
    ++result.refused;
    result.warnings.push_back("item " + std::to_string(index + 1) + " '" + item +
                              "' refused: " + rule);
  };

  for (size_t index = 0; index < Items.size(); ++index) {
    const std::string& item = Items[index];
    const std::vector<std::string> fields = Split(item, ':');
    const std::string& kind = fields[0];
    auto expectFields = [&](size_t count, const char* form) {
      if (fields.size() == count) return true;
      result.error = "item " + std::to_string(index + 1) + " '" + item + "': expected " + form;
      return false;
    };
    std::vector<double> values;
    for (size_t f = 1; f < fields.size() && kind != "package"; ++f) {
      double value = 0;
      if (!ParseNumber(fields[f], value))
        return fail(index, item, "'" + fields[f] + "' is not a number");
      values.push_back(value);
    }
    // Whole time units, rounded half to even; values beyond 64 bits are refused.
    auto whole = [&](double value, int64_t& out) {
      if (program::RoundHalfEven(value, out)) return true;
      refuse(index, item, "a value is out of the 64-bit range");
      return false;
    };

    if (kind == "impulse") {
      if (!expectFields(4, "impulse:DURATION:PHASE:SILENCE")) return result;
      int64_t duration = 0, silence = 0;
      if (!whole(values[0], duration) ||
          !whole(std::max(values[2], program::kImpulseSilenceFloor), silence))
        continue;
      const uint8_t phase = program::PhaseCodeFromDegrees(values[1]);
      if (!target().AddImpulse(phase, duration, silence))
        refuse(index, item,
               Admissible(duration, 1) ? LengthRule("silence", silence, 1)
                                       : LengthRule("duration", duration, 1));
    } else if (kind == "silence") {
      if (!expectFields(2, "silence:DURATION")) return result;
      int64_t duration = 0;
      if (!whole(values[0], duration)) continue;
      if (!target().AddSilence(duration)) refuse(index, item, LengthRule("duration", duration, 1));
    } else if (kind == "reading") {
      if (!expectFields(3, "reading:DURATION:INTERVAL")) return result;
      int64_t duration = 0, interval = 0;
      if (!whole(values[0], duration) || !whole(values[1], interval)) continue;
      if (!target().AddReading(duration, interval))
        refuse(index, item,
               Admissible(duration, kMinReading) ? LengthRule("interval", interval, kMinReading)
                                                 : LengthRule("duration", duration, kMinReading));
    } else if (kind == "package") {
      if (!expectFields(2, "package:COUNT")) return result;
      long long count = 0;
      if (!ParseCount(fields[1], count))
        return fail(index, item, "'" + fields[1] + "' is not a 32-bit whole count");
      open.push_back(
          {std::make_unique<TProgramCompilerBytecode>(), static_cast<int32_t>(count), item, index});
    } else if (kind == "end" && fields.size() == 1) {
      if (open.empty()) return fail(index, item, "no package to end");
      Level level = std::move(open.back());
      open.pop_back();
      if (!target().AddPackage(level.program.get(), level.count))
        refuse(level.index, level.item, "a package must repeat a non-zero number of times");
      else if (level.count < 0)
        result.warnings.push_back("item " + std::to_string(level.index + 1) + " '" + level.item +
                                  "' has a negative count and plays no times");
    } else {
      return fail(index, item,
                  "unknown item; expected impulse:D:PHASE:S, silence:D, reading:D:INTERVAL, "
                  "package:COUNT or end");
    }
  }
  if (!open.empty()) return fail(open.back().index, open.back().item, "package without 'end'");
  result.parsed = true;
  return result;
}

}  // namespace quellar::tool
