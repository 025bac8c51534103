#include "ProgramItems.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <memory>
#include <string_view>

#include "program/DrvConversions.h"

namespace quellar::tool {

namespace {

using program::TAdmission;
using program::TProgramCompilerBytecode;
using program::TRefusal;

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

enum class Parsed { Number, NotANumber, OutOfRange };

struct Number {
  bool whole = false;
  int64_t integer = 0;
  double real = 0;
};

// Whole numbers as integers, so every 64-bit value is exact; others as decimal reals.
// Hexadecimal, infinities and NaN are not numbers here.
Parsed ParseNumber(std::string_view text, Number& number) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  const char* first = text.data();
  const char* last = first + text.size();
  if (first == last) return Parsed::NotANumber;
  const auto whole = std::from_chars(first, last, number.integer);
  if (whole.ptr == last) {
    number.whole = true;
    return whole.ec == std::errc() ? Parsed::Number : Parsed::OutOfRange;
  }
  const auto real = std::from_chars(first, last, number.real, std::chars_format::general);
  if (real.ptr != last) return Parsed::NotANumber;
  if (real.ec == std::errc::result_out_of_range) return Parsed::OutOfRange;
  if (real.ec != std::errc() || !std::isfinite(number.real)) return Parsed::NotANumber;
  number.whole = false;
  return Parsed::Number;
}

// Whole time units: integers as they are, reals rounded half to even.
bool WholeUnits(const Number& number, int64_t& units) {
  if (number.whole) {
    units = number.integer;
    return true;
  }
  return program::RoundHalfEven(number.real, units);
}

// The model's reason for refusing an item, in words.
std::string Reason(const TAdmission& admission) {
  const std::string value = admission.value;
  const std::string rounded = std::to_string(admission.rounded);
  switch (admission.refusal) {
    case TRefusal::NotAboveZero:
      return value + " must be above 0 ns (it is " + rounded + ")";
    case TRefusal::BelowMinimum:
      return value + " must be at least " + std::to_string(program::kMinReading) +
             " ns after rounding up to 100 ns (it is " + rounded + ")";
    case TRefusal::TooLarge:
      return value + " is too large to round up to the 100 ns step";
    case TRefusal::NoSource:
      return "a package needs a program";
    case TRefusal::ZeroCount:
      return "a package must repeat a non-zero number of times";
    case TRefusal::None:
      break;
  }
  return "refused";
}

struct Level {
  std::unique_ptr<TProgramCompilerBytecode> program;
  int32_t count;
  std::string item;
  size_t index;
};

}  // namespace

ItemsResult AddItems(const std::vector<std::string>& items, TProgramCompilerBytecode& program) {
  ItemsResult result;
  std::vector<Level> open;  // packages not yet closed by "end"
  auto target = [&]() -> TProgramCompilerBytecode& {
    return open.empty() ? program : *open.back().program;
  };
  auto name = [](size_t index, const std::string& item) {
    return "item " + std::to_string(index + 1) + " '" + item + "'";
  };
  auto fail = [&](size_t index, const std::string& item, const std::string& why) {
    result.error = name(index, item) + ": " + why;
    return result;
  };
  auto warn = [&](size_t index, const std::string& item, const std::string& what) {
    result.warnings.push_back(name(index, item) + " " + what);
  };
  auto refused = [&](size_t index, const std::string& item, const TProgramCompilerBytecode& by) {
    warn(index, item, "refused: " + Reason(by.LastAdmission()));
  };

  for (size_t index = 0; index < items.size(); ++index) {
    const std::string& item = items[index];
    const std::vector<std::string> fields = Split(item, ':');
    const std::string& kind = fields[0];
    if (kind == "end" && fields.size() == 1) {
      if (open.empty()) return fail(index, item, "no package to end");
      Level level = std::move(open.back());
      open.pop_back();
      if (!target().AddPackage(level.program.get(), level.count))
        refused(level.index, level.item, target());
      else if (level.count < 0)
        warn(level.index, level.item, "has a negative count and plays no times");
      continue;
    }
    const size_t expected = kind == "impulse"                        ? 4
                            : kind == "reading"                      ? 3
                            : kind == "silence" || kind == "package" ? 2
                                                                     : 0;
    if (expected == 0)
      return fail(index, item,
                  "unknown item; expected impulse:D:PHASE:S, silence:D, reading:D:INTERVAL, "
                  "package:COUNT or end");
    if (fields.size() != expected) {
      const char* form = kind == "impulse"   ? "impulse:DURATION:PHASE:SILENCE"
                         : kind == "reading" ? "reading:DURATION:INTERVAL"
                         : kind == "silence" ? "silence:DURATION"
                                             : "package:COUNT";
      return fail(index, item, std::string("expected ") + form);
    }
    std::vector<Number> values(fields.size() - 1);
    bool inRange = true;
    for (size_t f = 1; f < fields.size(); ++f) {
      const Parsed parsed = ParseNumber(fields[f], values[f - 1]);
      if (parsed == Parsed::NotANumber)
        return fail(index, item, "'" + fields[f] + "' is not a number");
      inRange = inRange && parsed == Parsed::Number;
    }

    if (kind == "package") {
      const Number& count = values[0];
      if (!inRange || !count.whole || count.integer < INT32_MIN || count.integer > INT32_MAX)
        return fail(index, item, "'" + fields[1] + "' is not a 32-bit whole count");
      open.push_back({std::make_unique<TProgramCompilerBytecode>(),
                      static_cast<int32_t>(count.integer), item, index});
      continue;
    }
    // Whole time units; values beyond 64 bits are refused.
    std::vector<int64_t> units(values.size());
    for (size_t v = 0; v < values.size() && inRange; ++v)
      inRange = kind == "impulse" && v == 1 ? true : WholeUnits(values[v], units[v]);
    if (!inRange) {
      warn(index, item, "refused: a value is out of the 64-bit range");
      continue;
    }

    if (kind == "impulse") {
      const double degrees =
          values[1].whole ? static_cast<double>(values[1].integer) : values[1].real;
      const uint8_t phase = program::PhaseCodeFromDegrees(degrees);
      const int64_t silence =
          std::max(units[2], static_cast<int64_t>(program::kImpulseSilenceFloor));
      if (!target().AddImpulse(phase, units[0], silence)) {
        refused(index, item, target());
      } else if (phase == 0 && degrees != 0) {
        warn(index, item, "has phase " + fields[2] + ", which plays as 0");
      }
    } else if (kind == "silence") {
      if (!target().AddSilence(units[0])) refused(index, item, target());
    } else {
      if (!target().AddReading(units[0], units[1])) {
        refused(index, item, target());
      } else {
        int64_t duration = 0, interval = 0;
        program::TryRoundUpToStep(units[0], program::kCodeStep, duration);
        program::TryRoundUpToStep(units[1], program::kCodeStep, interval);
        if (duration < interval)
          warn(index, item, "takes no sample: its interval is longer than its duration");
      }
    }
  }
  if (!open.empty()) return fail(open.back().index, open.back().item, "package without 'end'");
  result.parsed = true;
  return result;
}

}  // namespace quellar::tool
