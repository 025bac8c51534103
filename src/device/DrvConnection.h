#pragma once
// The byte transport under the device controller: an abstract base and the serial-port
// implementation. The transport knows nothing of frames; Read hands out whatever bytes are
// queued, Write sends a buffer.
#include <cstdint>
#include <memory>
#include <string>

namespace quellar::device {

// What a wait for input ended with.
enum class TDriverInputWait {
  Ready,     // bytes are queued (or may be: the caller reads to find out)
  TimedOut,  // the time passed without input
  Closed,    // the line is gone (peer hung up, device vanished); no byte will come
};

class TDriverHardwareBase {
 public:
  TDriverHardwareBase() = default;
  virtual ~TDriverHardwareBase() = default;
  TDriverHardwareBase(const TDriverHardwareBase&) = delete;
  TDriverHardwareBase& operator=(const TDriverHardwareBase&) = delete;

  virtual bool Active() = 0;
  // Discards both the transmit and the receive queue.
  virtual void Purge() = 0;
  // Bytes placed in the buffer, 0 at once when none are waiting.
  virtual int32_t Read(uint8_t* buffer, int32_t count) = 0;
  // True when all bytes were written.
  virtual bool Write(const uint8_t* buffer, int32_t count) = 0;
  // Parameter text: lines NAME=VALUE.
  virtual bool Open(const std::string& parameters) = 0;
  virtual void Close() = 0;
  // Blocks until input is queued or timeoutMs passed, so waiting for an answer costs no
  // processor. Ready and TimedOut are hints (the caller reads and checks its own clock);
  // Closed is final. The default sleeps one millisecond on the platform clock.
  virtual TDriverInputWait WaitInput(uint32_t timeoutMs);
};

// The parameter text of Open, parsed.
struct TDriverParameters {
  int32_t Port = 1;
  int32_t Speed = 115200;
  // DRIVER_DEVICE: a device path that overrides the port number (empty when absent).
  std::string Device;
};

// Lines NAME=VALUE split at CR, LF or CR LF; names compare without regard to case and the
// first line of a name counts. Port and speed fall back to their defaults unless the value
// is a decimal integer.
TDriverParameters ParseDriverParameters(const std::string& text);
// Value of the first line named key; false when there is none.
bool DriverParameterValue(const std::string& text, const std::string& key, std::string& value);
// A decimal integer with an optional sign and nothing else, within 32 bits.
bool ParseDecimal(const std::string& text, int32_t& value);

// The serial port of the operating system. Exclusive open, raw 8N1 with RTS/CTS flow
// control, non-blocking reads of queued bytes, writes bounded by kWriteTimeoutMs.
class TDriverHardwareRS232 : public TDriverHardwareBase {
 public:
  static constexpr uint32_t kWriteTimeoutMs = 3000;
  static constexpr uint32_t kSettleMs = 200;
  static constexpr uint32_t kInputQueue = 524288;
  static constexpr uint32_t kOutputQueue = 16384;

  TDriverHardwareRS232();
  ~TDriverHardwareRS232() override;

  bool Active() override;
  void Purge() override;
  int32_t Read(uint8_t* buffer, int32_t count) override;
  bool Write(const uint8_t* buffer, int32_t count) override;
  bool Open(const std::string& parameters) override;
  void Close() override;
  TDriverInputWait WaitInput(uint32_t timeoutMs) override;

  // The device name that Open uses for the parameters (for diagnostics and tests).
  static std::string DeviceName(const TDriverParameters& parameters);

 private:
  struct Port;  // the operating system's handles, in DrvConnectionPosix/Win32.cpp
  std::unique_ptr<Port> port_;
};

}  // namespace quellar::device
