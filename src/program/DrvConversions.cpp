#include "program/DrvConversions.h"

#include <cmath>

#include "errors/Asserts.h"

namespace quellar::program {

namespace {
constexpr Tag kTagPhaseCode = "{D003F675-176A-46E1-B1E9-FAFCAC0D70D2}";
constexpr Tag kTagRoundHalfEven = "{D463FDCA-6FF8-4D33-99FE-8E1286090B55}";
}  // namespace

uint8_t PhaseCodeFromDegrees(double degrees) {
  return Guarded(kTagPhaseCode, [&]() -> uint8_t {
    if (degrees == 90.0) return 1;
    if (degrees == 180.0) return 2;
    if (degrees == 270.0) return 3;
    return 0;
  });
}

bool RoundHalfEven(double value, int64_t& result) {
  return Guarded(kTagRoundHalfEven, [&] {
    if (!std::isfinite(value)) return false;
    // Independent of the floating-point rounding mode in force.
    const double below = std::floor(value);
    const double fraction = value - below;  // exact for every double
    double rounded = below;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(below, 2.0) != 0.0)) rounded = below + 1.0;
    // 2^63 is exactly representable; every double below it converts without overflow.
    if (rounded < -9223372036854775808.0 || rounded >= 9223372036854775808.0) return false;
    result = static_cast<int64_t>(rounded);
    return true;
  });
}

}  // namespace quellar::program
