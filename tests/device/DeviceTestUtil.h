#pragma once
// Helpers the device tests share: hex byte strings and frames built from them.
#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "device/DrvFrame.h"

namespace quellar::test {

// "C0 81 F9 65 C1" -> bytes.
inline std::vector<uint8_t> Hex(const std::string& text) {
  std::vector<uint8_t> out;
  std::istringstream in(text);
  for (std::string item; in >> item;)
    out.push_back(static_cast<uint8_t>(std::stoul(item, nullptr, 16)));
  return out;
}

inline std::string ToHex(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (uint8_t b : bytes) out += {' ', kDigits[b >> 4], kDigits[b & 15]};
  return out.empty() ? out : out.substr(1);
}

inline device::TDriverFrame Frame(const std::vector<uint8_t>& bytes) {
  device::TDriverFrame f;
  f.Assign(bytes.data(), static_cast<int32_t>(bytes.size()));
  return f;
}

// The piece of a sample block at `at`: code 03, the offset, then n bytes of the block.
inline device::TDriverFrame Piece(const std::vector<uint8_t>& block, size_t at, size_t n) {
  device::TDriverFrame f{0x03, static_cast<uint8_t>(at >> 8), static_cast<uint8_t>(at)};
  f.Resize(static_cast<int32_t>(n + 3));
  std::copy(block.begin() + at, block.begin() + at + n, f.Data() + 3);
  return f;
}

}  // namespace quellar::test
