#pragma once
// Program items written on the command line:
//   impulse:DURATION:PHASE:SILENCE   silence:DURATION   reading:DURATION:INTERVAL
//   package:COUNT ... end             (items between them, repeated COUNT times; may nest)
// Durations are nanoseconds, the phase is degrees. Whole numbers are read as 64-bit integers,
// others as decimal reals rounded half to even. The values pass the conversions of the
// compiler object (silence floor of 1000, 90/180/270 degrees to phase codes) and then the
// model's own admission rules.
#include <string>
#include <vector>

#include "program/DrvCompilerBytecode.h"

namespace quellar::tool {

struct ItemsResult {
  bool parsed = false;  // false: a syntax error, described in error
  std::string error;
  // One per item that was refused or does not play as written (a phase that plays as 0, a
  // reading without a sample, a package that plays no times).
  std::vector<std::string> warnings;
};

// Adds the items to program in order.
ItemsResult AddItems(const std::vector<std::string>& items,
                     program::TProgramCompilerBytecode& program);

}  // namespace quellar::tool
