// The serial transport on Windows: overlapped input and output, each operation started and
// then waited for at once, so every wait has a bound.
#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "device/DrvConnection.h"
#include "errors/Asserts.h"
#include "platform/Clock.h"

namespace quellar::device {

namespace {

constexpr Tag kTagCreate = "{65C3666A-C3F0-4884-ACDE-A429B7411A60}";
constexpr Tag kTagDestroy = "{FA1A3F6B-A039-4EF1-82B1-9436F326CCCE}";
constexpr Tag kTagActive = "{0EC95461-7663-45EB-8464-355D972004E4}";
constexpr Tag kTagPurge = "{F1F5B0DB-EF51-4E8F-9549-9274D7BAF2A1}";
constexpr Tag kTagRead = "{3D0151F8-65FC-422C-8C33-48C39E635D0E}";
constexpr Tag kTagWrite = "{00060960-7736-4C5B-8A80-4EA8DCCF6DA4}";
constexpr Tag kTagOpen = "{9F135F4E-7B8A-4070-92BF-E4CE38A54D7C}";
constexpr Tag kTagClose = "{2139B31F-62E5-4052-B858-4185F9A57554}";
constexpr Tag kTagWaitInput = "{B8D4343C-51B1-4680-89BD-CFB7EB131488}";
constexpr Tag kTagDeviceName = "{171FAB5C-1543-493D-8382-1CCE229EF5E5}";
constexpr Tag kCheckReadEvent = "{A7470071-0D31-4C75-9EC4-614D14CC5322}";
constexpr Tag kCheckWriteEvent = "{D4B1D8B4-E037-48FB-887D-A33CE66A7BFB}";
constexpr Tag kCheckWaitEvent = "{E6F771D8-2157-46E0-9844-140A8888BA14}";
constexpr Tag kCheckOpenWhenClosed = "{D3E9665C-D05D-40CF-9A35-4B627AAB58A9}";
constexpr Tag kCheckCommState = "{E396B294-98C9-4C54-B05D-361178017BEA}";
constexpr Tag kCheckSetupComm = "{6FB16AF5-5923-4A05-A75E-CDE95804273E}";
constexpr Tag kCheckCommTimeouts = "{A1990BB2-5DFC-47F1-8432-FF17F974E2C5}";
constexpr Tag kCheckCommMask = "{153CFC99-46A1-472E-8CB7-0588EE6D7D17}";
constexpr Tag kCheckReadFile = "{B1853047-CC91-4651-8D38-66F22D28AFBD}";
constexpr Tag kCheckReadWait = "{AFE40DF0-A842-492F-93D9-109B3268FEAC}";
constexpr Tag kCheckReadResult = "{FE67F403-0B3D-4AF9-A8CA-DBF72E939FC1}";
constexpr Tag kCheckReadCount = "{6D083B4F-B3E3-49BD-8681-C369CBE08BB0}";
constexpr Tag kCheckWriteQueueFull = "{66D8182C-E14C-4638-9BC7-9A49B0A7BB6A}";
constexpr Tag kCheckWriteFile = "{7C3BCA39-20D6-441D-BBCF-799965EC29F0}";
constexpr Tag kCheckWriteResult = "{7CF9EFA6-13EF-423C-8557-E766D6E7AC00}";
constexpr Tag kCheckCloseReadEvent = "{F71017D7-33AC-4A6B-87B8-13479444C132}";
constexpr Tag kCheckCloseWriteEvent = "{3464AAD4-D40A-48FE-8925-F60D5F348C90}";
constexpr Tag kCheckCloseWaitEvent = "{D309C517-911C-4FBC-AACB-EE36E20580CC}";

// Manual reset, not signalled, unnamed, default security.
HANDLE NewEvent() {
  return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

}  // namespace

struct TDriverHardwareRS232::Port {
  HANDLE handle = INVALID_HANDLE_VALUE;
  OVERLAPPED readOverlapped{};
  OVERLAPPED writeOverlapped{};
  // Used by WaitInput for WaitCommEvent; it never shares a record with a read or a write.
  OVERLAPPED waitOverlapped{};
  bool eventMask = false;
};

TDriverHardwareRS232::TDriverHardwareRS232() {
  Guarded(kTagCreate, [&] {
    port_ = std::make_unique<Port>();
    port_->readOverlapped.hEvent = NewEvent();
    CheckWin32(port_->readOverlapped.hEvent != nullptr, kCheckReadEvent);
    port_->writeOverlapped.hEvent = NewEvent();
    CheckWin32(port_->writeOverlapped.hEvent != nullptr, kCheckWriteEvent);
    port_->waitOverlapped.hEvent = NewEvent();
    CheckWin32(port_->waitOverlapped.hEvent != nullptr, kCheckWaitEvent);
  });
}

TDriverHardwareRS232::~TDriverHardwareRS232() {
  try {
    Guarded(kTagDestroy, [&] {
      if (Active()) Close();
      if (port_->readOverlapped.hEvent) {
        CheckWin32(CloseHandle(port_->readOverlapped.hEvent) != 0, kCheckCloseReadEvent);
      }
      if (port_->writeOverlapped.hEvent) {
        CheckWin32(CloseHandle(port_->writeOverlapped.hEvent) != 0, kCheckCloseWriteEvent);
      }
      if (port_->waitOverlapped.hEvent) {
        CheckWin32(CloseHandle(port_->waitOverlapped.hEvent) != 0, kCheckCloseWaitEvent);
      }
    });
  } catch (...) {
    // Reported by the guard; a destructor must not throw.
  }
}

std::string TDriverHardwareRS232::DeviceName(const TDriverParameters& parameters) {
  return Guarded(kTagDeviceName, [&] {
    // Ports count from 1; anything below names no port.
    if (parameters.Port < 1) return std::string();
    // The device-namespace form also reaches ports above 9.
    char name[32];
    std::snprintf(name, sizeof name, "\\\\.\\COM%d", static_cast<int>(parameters.Port));
    return std::string(name);
  });
}

bool TDriverHardwareRS232::Active() {
  return Guarded(kTagActive, [&] { return port_->handle != INVALID_HANDLE_VALUE; });
}

bool TDriverHardwareRS232::Open(const std::string& parameters) {
  return Guarded(kTagOpen, [&] {
    // An open port stays as it is: refusing keeps it, closing first would lose it.
    if (!CheckIntegrity(!Active(), kCheckOpenWhenClosed)) return false;
    const TDriverParameters p = ParseDriverParameters(parameters);
    const std::string name = DeviceName(p);
    if (name.empty()) return false;
    HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    port_->handle = h;

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = static_cast<DWORD>(p.Speed);
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = TRUE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fAbortOnError = FALSE;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    CheckWin32(SetCommState(h, &dcb) != 0, kCheckCommState);
    CheckWin32(SetupComm(h, kInputQueue, kOutputQueue) != 0, kCheckSetupComm);
    COMMTIMEOUTS timeouts{};  // all zero: no interval or total time-outs
    CheckWin32(SetCommTimeouts(h, &timeouts) != 0, kCheckCommTimeouts);
    port_->eventMask = CheckWin32(SetCommMask(h, EV_RXCHAR) != 0, kCheckCommMask);
    platform::GetClock().Sleep(kSettleMs);
    return true;
  });
}

void TDriverHardwareRS232::Close() {
  Guarded(kTagClose, [&] {
    if (!Active()) return;
    CloseHandle(port_->handle);
    port_->handle = INVALID_HANDLE_VALUE;
    port_->eventMask = false;
  });
}

void TDriverHardwareRS232::Purge() {
  Guarded(kTagPurge, [&] {
    if (!Active()) return;
    PurgeComm(port_->handle, PURGE_TXCLEAR);
    PurgeComm(port_->handle, PURGE_RXCLEAR);
  });
}

int32_t TDriverHardwareRS232::Read(uint8_t* buffer, int32_t count) {
  return Guarded(kTagRead, [&]() -> int32_t {
    if (!Active() || count <= 0) return 0;
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(port_->handle, &errors, &stat)) return 0;
    const DWORD n = std::min<DWORD>(static_cast<DWORD>(count), stat.cbInQue);
    if (n == 0) return 0;
    OVERLAPPED& ov = port_->readOverlapped;
    ResetEvent(ov.hEvent);
    if (!ReadFile(port_->handle, buffer, n, nullptr, &ov)) {
      CheckWin32(GetLastError() == ERROR_IO_PENDING, kCheckReadFile);
    }
    CheckWin32(WaitForSingleObject(ov.hEvent, kWriteTimeoutMs) == WAIT_OBJECT_0, kCheckReadWait);
    DWORD done = 0;
    CheckWin32(GetOverlappedResult(port_->handle, &ov, &done, FALSE) != 0, kCheckReadResult);
    CheckIntegrity(done == n, kCheckReadCount);
    // Only the bytes that really arrived count.
    return static_cast<int32_t>(std::min(done, n));
  });
}

bool TDriverHardwareRS232::Write(const uint8_t* buffer, int32_t count) {
  return Guarded(kTagWrite, [&] {
    if (!Active()) return false;
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(port_->handle, &errors, &stat)) return false;
    CheckIntegrity(stat.cbOutQue < kOutputQueue, kCheckWriteQueueFull);
    OVERLAPPED& ov = port_->writeOverlapped;
    ResetEvent(ov.hEvent);
    if (!WriteFile(port_->handle, buffer, static_cast<DWORD>(count), nullptr, &ov)) {
      // Not started at all: nothing will signal the event, so do not wait for it.
      if (!CheckWin32(GetLastError() == ERROR_IO_PENDING, kCheckWriteFile)) return false;
    }
    DWORD done = 0;
    if (WaitForSingleObject(ov.hEvent, kWriteTimeoutMs) != WAIT_OBJECT_0) {
      // Cancel the stuck write so the record is free for the next one.
      CancelIo(port_->handle);
      GetOverlappedResult(port_->handle, &ov, &done, TRUE);
      return false;
    }
    CheckWin32(GetOverlappedResult(port_->handle, &ov, &done, FALSE) != 0, kCheckWriteResult);
    return done == static_cast<DWORD>(count);
  });
}

TDriverInputWait TDriverHardwareRS232::WaitInput(uint32_t timeoutMs) {
  return Guarded(kTagWaitInput, [&] {
    if (!Active()) return TDriverInputWait::Closed;
    DWORD errors = 0;
    COMSTAT stat{};
    // The device vanished (an unplugged adapter): nothing more will come.
    if (!ClearCommError(port_->handle, &errors, &stat)) return TDriverInputWait::Closed;
    if (stat.cbInQue > 0) return TDriverInputWait::Ready;
    OVERLAPPED& ov = port_->waitOverlapped;
    DWORD mask = 0;
    ResetEvent(ov.hEvent);
    if (!port_->eventMask ||
        (!WaitCommEvent(port_->handle, &mask, &ov) && GetLastError() != ERROR_IO_PENDING)) {
      // No event wait on this port: fall back to short sleeps.
      platform::GetClock().Sleep(std::min<uint32_t>(timeoutMs, 1));
      return TDriverInputWait::Ready;
    }
    DWORD done = 0;
    // INFINITE is a reserved value: every wait here has a bound.
    if (WaitForSingleObject(ov.hEvent, std::min<DWORD>(timeoutMs, INFINITE - 1)) == WAIT_OBJECT_0) {
      GetOverlappedResult(port_->handle, &ov, &done, FALSE);
      return TDriverInputWait::Ready;
    }
    // Setting the mask again ends the pending wait; collect it before the record is reused.
    SetCommMask(port_->handle, EV_RXCHAR);
    GetOverlappedResult(port_->handle, &ov, &done, TRUE);
    return TDriverInputWait::TimedOut;
  });
}

}  // namespace quellar::device
