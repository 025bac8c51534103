// Systems without a way to set an arbitrary rate: only the termios table applies.
#include <cerrno>

#include "device/DrvConnectionSpeed.h"

namespace quellar::device::detail {

bool SetCustomLineSpeed(int, int32_t) {
  errno = EINVAL;
  return false;
}

}  // namespace quellar::device::detail
