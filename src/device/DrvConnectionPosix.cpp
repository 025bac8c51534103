// The serial transport on POSIX: termios, an exclusive open, non-blocking descriptors and
// poll() for every bounded wait.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

#include "device/DrvConnection.h"
#include "device/DrvConnectionSpeed.h"
#include "errors/Asserts.h"
#include "platform/Clock.h"

namespace quellar::device {

namespace {

constexpr Tag kTagCreate = "{6A84880F-909A-4C39-93EF-337AE9A252BB}";
constexpr Tag kTagDestroy = "{52C05C95-0702-4432-9EB7-A5CFD71A872D}";
constexpr Tag kTagActive = "{763AEB48-66D4-45C1-85E8-20BBCBD7D90F}";
constexpr Tag kTagPurge = "{DAF034D3-D5BB-45D6-912E-1E5BA998A0D3}";
constexpr Tag kTagRead = "{F9E8E8B3-C2AE-45B2-91C2-D65BB74EA89B}";
constexpr Tag kTagWrite = "{DDC5A9F2-5D78-43AC-901A-4D9FD85AF360}";
constexpr Tag kTagOpen = "{A6C2E413-0127-4FF0-934E-D9F41E81F0EE}";
constexpr Tag kTagClose = "{E4EC9FD5-97B7-4DA6-85D0-FE5BA79FBFC6}";
constexpr Tag kTagWaitInput = "{BB748D38-701E-49AE-B38D-6B77993E33DF}";
constexpr Tag kTagDeviceName = "{A243890A-B345-423C-88D4-A9969558B76C}";
constexpr Tag kCheckOpenWhenClosed = "{29EC2B91-B64F-4FA1-B68C-7428EBF6ADF5}";
constexpr Tag kCheckGetAttributes = "{8AC61225-3972-41B6-A5B4-38BBC46CF831}";
constexpr Tag kCheckSetAttributes = "{BBCECFDF-6268-4736-8449-436B2798D861}";
constexpr Tag kCheckSpeed = "{8AEE3CEA-2915-4622-84BB-7617B5BD49A9}";
constexpr Tag kCheckReadCall = "{1EC027FE-0D1A-4739-98D1-127F0E92D074}";
constexpr Tag kCheckWriteQueueFull = "{0F2BF0A2-EC8D-426B-B495-1E89EE0B7F0B}";
constexpr Tag kCheckPollCall = "{87B7D634-3CEF-4C0B-A47C-0F39AAE5A241}";
constexpr Tag kCheckCloseCall = "{84E70451-C979-4FF0-BE92-1CB08763504A}";
constexpr Tag kCheckWaitPollCall = "{4B77FDEB-7889-4341-8180-33CE950A108B}";

// The rates termios names directly; others go through the platform's custom-rate path.
bool StandardSpeed(int32_t speed, speed_t& code) {
  static const std::pair<int32_t, speed_t> kSpeeds[] = {
      {50, B50},         {75, B75},         {110, B110},       {134, B134},     {150, B150},
      {200, B200},       {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
      {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
      {57600, B57600},   {115200, B115200}, {230400, B230400},
#ifdef B460800
      {460800, B460800},
#endif
#ifdef B921600
      {921600, B921600},
#endif
  };
  for (const auto& [rate, value] : kSpeeds) {
    if (rate == speed) {
      code = value;
      return true;
    }
  }
  return false;
}

// Raw 8N1, receiver on, modem lines ignored except RTS/CTS, no software flow control, no
// parity checks, no character translation; reads never wait (VMIN = VTIME = 0).
void MakeRaw(termios& tio) {
  tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY | INPCK);
  tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
  tio.c_cflag |= CS8 | CREAD | CLOCAL | CRTSCTS | HUPCL;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
}

int PollMs(uint32_t ms) {
  return static_cast<int>(std::min<uint32_t>(ms, INT_MAX));
}

}  // namespace

struct TDriverHardwareRS232::Port {
  int fd = -1;
};

TDriverHardwareRS232::TDriverHardwareRS232() {
  Guarded(kTagCreate, [&] { port_ = std::make_unique<Port>(); });
}

TDriverHardwareRS232::~TDriverHardwareRS232() {
  try {
    Guarded(kTagDestroy, [&] {
      if (Active()) Close();
    });
  } catch (...) {
    // Reported by the guard; a destructor must not throw.
  }
}

std::string TDriverHardwareRS232::DeviceName(const TDriverParameters& parameters) {
  return Guarded(kTagDeviceName, [&] {
    if (!parameters.Device.empty()) return parameters.Device;
    // Ports count from 1; anything below names no port (and Port - 1 must not overflow).
    if (parameters.Port < 1) return std::string();
    const std::string variable = "QUELLAR_COM" + std::to_string(parameters.Port);
    if (const char* path = std::getenv(variable.c_str()); path && *path) return std::string(path);
    return "/dev/ttyS" + std::to_string(parameters.Port - 1);
  });
}

bool TDriverHardwareRS232::Active() {
  return Guarded(kTagActive, [&] { return port_->fd >= 0; });
}

bool TDriverHardwareRS232::Open(const std::string& parameters) {
  return Guarded(kTagOpen, [&] {
    // An open port stays as it is: refusing keeps it, closing first would lose it.
    if (!CheckIntegrity(!Active(), kCheckOpenWhenClosed)) return false;
    const TDriverParameters p = ParseDriverParameters(parameters);
    const std::string name = DeviceName(p);
    if (name.empty()) return false;
    const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    // TIOCEXCL keeps other users out but not root; the advisory lock makes a second open
    // by anyone fail, as an exclusive open should.
    if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
      ::close(fd);
      return false;
    }
    port_->fd = fd;

    termios tio{};
    if (CheckWin32(tcgetattr(fd, &tio) == 0, kCheckGetAttributes)) {
      MakeRaw(tio);
      speed_t code = B115200;
      const bool standard = StandardSpeed(p.Speed, code);
      cfsetispeed(&tio, code);
      cfsetospeed(&tio, code);
      CheckWin32(tcsetattr(fd, TCSANOW, &tio) == 0, kCheckSetAttributes);
      if (!standard) {
        bool ok = false;
        if (p.Speed > 0) {
          ok = detail::SetCustomLineSpeed(fd, p.Speed);
        } else {
          errno = EINVAL;
        }
        CheckWin32(ok, kCheckSpeed);
      }
    }
    platform::GetClock().Sleep(kSettleMs);
    return true;
  });
}

void TDriverHardwareRS232::Close() {
  Guarded(kTagClose, [&] {
    if (!Active()) return;
    const int fd = std::exchange(port_->fd, -1);
    ioctl(fd, TIOCNXCL);
    CheckWin32(::close(fd) == 0 || errno == EINTR, kCheckCloseCall);
  });
}

void TDriverHardwareRS232::Purge() {
  Guarded(kTagPurge, [&] {
    if (!Active()) return;
    tcflush(port_->fd, TCOFLUSH);
    tcflush(port_->fd, TCIFLUSH);
  });
}

int32_t TDriverHardwareRS232::Read(uint8_t* buffer, int32_t count) {
  return Guarded(kTagRead, [&]() -> int32_t {
    if (!Active() || count <= 0) return 0;
    int queued = 0;
    if (ioctl(port_->fd, FIONREAD, &queued) != 0) return 0;
    const int32_t n = std::min<int32_t>(count, queued);
    int32_t got = 0;
    while (got < n) {
      const ssize_t r = ::read(port_->fd, buffer + got, static_cast<size_t>(n - got));
      if (r > 0) {
        got += static_cast<int32_t>(r);
      } else if (r < 0 && errno == EINTR) {
        continue;
      } else {
        // EAGAIN: fewer bytes than announced; EIO: the line hung up. Neither is a fault of
        // ours worth a report; the caller sees the shorter count.
        if (r < 0 && errno != EAGAIN && errno != EIO) CheckWin32(false, kCheckReadCall);
        break;
      }
    }
    return got;
  });
}

bool TDriverHardwareRS232::Write(const uint8_t* buffer, int32_t count) {
  return Guarded(kTagWrite, [&] {
    if (!Active()) return false;
    int queued = 0;
    if (ioctl(port_->fd, TIOCOUTQ, &queued) != 0) return false;
    CheckIntegrity(queued < static_cast<int>(kOutputQueue), kCheckWriteQueueFull);
    auto& clock = platform::GetClock();
    const uint32_t start = clock.Ticks();
    int32_t sent = 0;
    while (sent < count) {
      const ssize_t r = ::write(port_->fd, buffer + sent, static_cast<size_t>(count - sent));
      if (r > 0) {
        sent += static_cast<int32_t>(r);
        continue;
      }
      if (r < 0 && errno == EINTR) continue;
      // EIO and friends: the line is gone (hang-up); a failed write, no report.
      if (r < 0 && errno != EAGAIN) return false;
      const uint32_t elapsed = platform::Elapsed(start, clock.Ticks());
      if (elapsed >= kWriteTimeoutMs) return false;
      pollfd pfd{port_->fd, POLLOUT, 0};
      const int ready = ::poll(&pfd, 1, PollMs(kWriteTimeoutMs - elapsed));
      if (ready == 0) return false;  // CTS never came back, or nobody reads
      if (ready < 0 && errno != EINTR) return CheckWin32(false, kCheckPollCall);
      if (ready > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))) return false;
    }
    return true;
  });
}

TDriverInputWait TDriverHardwareRS232::WaitInput(uint32_t timeoutMs) {
  return Guarded(kTagWaitInput, [&] {
    if (!Active()) return TDriverInputWait::Closed;
    int queued = 0;
    if (ioctl(port_->fd, FIONREAD, &queued) == 0 && queued > 0) return TDriverInputWait::Ready;
    pollfd pfd{port_->fd, POLLIN, 0};
    const int ready = ::poll(&pfd, 1, PollMs(timeoutMs));
    if (ready == 0) return TDriverInputWait::TimedOut;
    if (ready < 0) {
      if (errno == EINTR) return TDriverInputWait::Ready;
      CheckWin32(false, kCheckWaitPollCall);
      return TDriverInputWait::Closed;
    }
    if (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) {
      // A hung-up terminal also reports POLLIN. With nothing left to read, waiting again
      // would return at once, for ever: the line is closed for our purposes.
      queued = 0;
      ioctl(port_->fd, FIONREAD, &queued);
      return queued > 0 ? TDriverInputWait::Ready : TDriverInputWait::Closed;
    }
    return TDriverInputWait::Ready;
  });
}

}  // namespace quellar::device
