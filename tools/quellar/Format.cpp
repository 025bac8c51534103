#include "Format.h"

#include <cmath>
#include <cstdio>

namespace quellar::tool {

std::string HexBytes(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 3);
  for (const uint8_t b : bytes) {
    if (!text.empty()) text += ' ';
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  return text;
}

std::string FormatTime(double nanoseconds) {
  char buffer[40];
  if (std::trunc(nanoseconds) == nanoseconds && std::fabs(nanoseconds) < 9e18)
    std::snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(nanoseconds));
  else
    std::snprintf(buffer, sizeof buffer, "%.17g", nanoseconds);
  return buffer;
}

}  // namespace quellar::tool
