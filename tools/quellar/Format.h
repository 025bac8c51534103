#pragma once
// Small text helpers shared by the subcommands.
#include <cstdint>
#include <string>
#include <vector>

namespace quellar::tool {

// "38 31 FF": upper-case hexadecimal bytes separated by spaces.
std::string HexBytes(const std::vector<uint8_t>& bytes);
// A time in nanoseconds: whole numbers without a fraction, others in shortest exact form.
std::string FormatTime(double nanoseconds);

}  // namespace quellar::tool
