#include "device/DrvConnection.h"

#include <algorithm>
#include <cctype>
#include <limits>

#include "errors/Asserts.h"
#include "platform/Clock.h"

namespace quellar::device {

namespace {

constexpr Tag kTagBaseWaitInput = "{B337BCEB-A384-4B8B-BE6B-043C8C84C87D}";
constexpr Tag kTagParseParameters = "{8FD9755E-92C5-4E8D-A90B-A53B3C6E43AF}";
constexpr Tag kTagParameterValue = "{8022F4E5-EB15-484B-A6BF-99A78809899D}";
constexpr Tag kTagParseDecimal = "{36BC278A-0AA0-41BE-8B2F-144FF8AAF7EB}";

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) ==
                  std::toupper(static_cast<unsigned char>(y));
         });
}

}  // namespace

TDriverInputWait TDriverHardwareBase::WaitInput(uint32_t timeoutMs) {
  return Guarded(kTagBaseWaitInput, [&] {
    platform::GetClock().Sleep(std::min<uint32_t>(timeoutMs, 1));
    return TDriverInputWait::TimedOut;
  });
}

bool DriverParameterValue(const std::string& text, const std::string& key, std::string& value) {
  return Guarded(kTagParameterValue, [&] {
    size_t start = 0;
    while (start <= text.size()) {
      size_t end = text.find_first_of("\r\n", start);
      if (end == std::string::npos) end = text.size();
      const std::string line = text.substr(start, end - start);
      const size_t eq = line.find('=');
      if (eq != std::string::npos && SameName(line.substr(0, eq), key)) {
        value = line.substr(eq + 1);
        return true;
      }
      // CR LF counts as one break; an empty line in between changes nothing either way.
      start = end + 1;
    }
    return false;
  });
}

bool ParseDecimal(const std::string& text, int32_t& value) {
  return Guarded(kTagParseDecimal, [&] {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size()) return false;
    int64_t v = 0;
    for (; i < text.size(); ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
      v = v * 10 + (text[i] - '0');
      if (v > int64_t{std::numeric_limits<int32_t>::max()} + 1) return false;
    }
    if (negative) v = -v;
    if (v > std::numeric_limits<int32_t>::max() || v < std::numeric_limits<int32_t>::min()) {
      return false;
    }
    value = static_cast<int32_t>(v);
    return true;
  });
}

TDriverParameters ParseDriverParameters(const std::string& text) {
  return Guarded(kTagParseParameters, [&] {
    TDriverParameters p;
    std::string value;
    int32_t number = 0;
    if (DriverParameterValue(text, "DRIVER_COMPORT", value) && ParseDecimal(value, number)) {
      p.Port = number;
    }
    if (DriverParameterValue(text, "DRIVER_SPEED", value) && ParseDecimal(value, number)) {
      p.Speed = number;
    }
    if (DriverParameterValue(text, "DRIVER_DEVICE", value)) p.Device = value;
    return p;
  });
}

}  // namespace quellar::device
