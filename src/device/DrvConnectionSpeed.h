#pragma once
// Line speeds outside the termios table; only the POSIX transport uses this.
#include <cstdint>

namespace quellar::device::detail {

// Sets input and output speed of an open terminal to any rate the driver takes. False with
// errno set when the platform cannot do it.
bool SetCustomLineSpeed(int fd, int32_t speed);

}  // namespace quellar::device::detail
