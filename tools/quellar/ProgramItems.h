#pragma once
// Program items written on the command line:
//   impulse:DURATION:PHASE:SILENCE   silence:DURATION   reading:DURATION:INTERVAL
//   package:COUNT ... end             (items between them, repeated COUNT times; may nest)
// Durations are nanoseconds, the phase is degrees. The values pass the conversions of the
// compiler object (silence floor of 1000, 90/180/270 degrees to phase codes, rounding half to
// even) and then the model's own admission rules.
#include <string>
#include <vector>

#include "program/DrvCompilerBytecode.h"

namespace quellar::tool {

struct ItemsResult {
  bool parsed = false;  // false: a syntax error, described in error
  std::string error;
  std::vector<std::string> warnings;  // one per refused item or notable value
  int refused = 0;
};

// Adds the items to Program in order.
ItemsResult AddItems(const std::vector<std::string>& Items,
                     program::TProgramCompilerBytecode& Program);

}  // namespace quellar::tool
