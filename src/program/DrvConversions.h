#pragma once
// The conversions a client's values pass before they reach the program model: degrees to a
// phase code, the floor of an impulse's silence, and rounding to whole time units.
#include <cstdint>

namespace quellar::program {

// An impulse's silence is raised to at least this before rounding.
constexpr double kImpulseSilenceFloor = 1000.0;

// 90 -> 1, 180 -> 2, 270 -> 3; every other value (0, 45, 360, -90, NaN) -> 0.
uint8_t PhaseCodeFromDegrees(double degrees);

// Rounds to the nearest integer, exact halves to the even neighbour (2.5 -> 2, 3.5 -> 4).
// False when value is not finite or the result does not fit 64 bits.
bool RoundHalfEven(double value, int64_t& result);

}  // namespace quellar::program
