// Linux takes any rate through termios2 and BOTHER. The kernel headers clash with the C
// library's <termios.h>, so this lives in a unit of its own.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "device/DrvConnectionSpeed.h"

namespace quellar::device::detail {

bool SetCustomLineSpeed(int fd, int32_t speed) {
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) return false;
  tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  tio.c_ispeed = static_cast<speed_t>(speed);
  tio.c_ospeed = static_cast<speed_t>(speed);
  return ioctl(fd, TCSETS2, &tio) == 0;
}

}  // namespace quellar::device::detail
