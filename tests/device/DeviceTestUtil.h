#pragma once
// Small helpers for the device tests: hex byte strings and frame lists.
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "device/DrvFrame.h"

namespace quellar::test {

// "C0 81 F9 65 C1" -> bytes.
inline std::vector<uint8_t> Hex(const std::string& text) {
  std::vector<uint8_t> out;
  std::istringstream in(text);
  std::string item;
  while (in >> item) out.push_back(static_cast<uint8_t>(std::stoul(item, nullptr, 16)));
  return out;
}

inline std::string ToHex(const std::vector<uint8_t>& bytes) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(buf, sizeof buf, "%02X", bytes[i]);
    if (i) out += ' ';
    out += buf;
  }
  return out;
}

inline std::vector<std::vector<uint8_t>> Contents(const device::TDriverFrameList& frames) {
  std::vector<std::vector<uint8_t>> out;
  for (const auto& f : frames) out.push_back(f->Bytes());
  return out;
}

inline device::TDriverFrame Frame(const std::vector<uint8_t>& bytes) {
  device::TDriverFrame f;
  f.Assign(bytes.data(), static_cast<int32_t>(bytes.size()));
  return f;
}

}  // namespace quellar::test
