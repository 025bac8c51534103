// The serial transport: parameter text, port names, and the POSIX implementation on a real
// pseudo-terminal.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <chrono>
#include <climits>
#include <thread>
#include <tuple>

#include "PtyPair.h"
#include "device/DrvConnection.h"
#include "support/TestSupport.h"

namespace quellar::device {
namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

TEST(ParseDriverParameters, KeysDefaultsAndLineBreaks) {
  const std::tuple<const char*, int32_t, int32_t> cases[] = {
      {"", 1, 115200},
      {"DRIVER_COMPORT=abc", 1, 115200},
      {"DRIVER_COMPORT=2\r\nDRIVER_SPEED=9600", 2, 9600},
      {"DRIVER_SPEED=9600\rDRIVER_COMPORT=4\n", 4, 9600},
      {"DRIVER_COMPORT=", 1, 115200},
      {"DRIVER_COMPORT=-2", -2, 115200},
      {"DRIVER_COMPORT=99999999999", 1, 115200},
      {"OTHER=5\ndriver_comport=6", 6, 115200},
      {"DRIVER_COMPORT=7\nDRIVER_COMPORT=8", 7, 115200},
      {"DRIVER_DEVICE=/dev/pts/9\nDRIVER_COMPORT=12", 12, 115200}};
  for (const auto& [text, port, speed] : cases) {
    EXPECT_EQ(ParseDriverParameters(text).Port, port) << text;
    EXPECT_EQ(ParseDriverParameters(text).Speed, speed) << text;
  }
}

TEST(TDriverHardwareRS232, PortNamesAndPortsThatCannotOpen) {
  TDriverParameters p;
  p.Port = 12;
  unsetenv("QUELLAR_COM12");
  EXPECT_EQ(TDriverHardwareRS232::DeviceName(p), "/dev/ttyS11");
  setenv("QUELLAR_COM12", "/dev/ttyUSB0", 1);
  EXPECT_EQ(TDriverHardwareRS232::DeviceName(p), "/dev/ttyUSB0");
  p.Device = "/dev/pts/5";
  EXPECT_EQ(TDriverHardwareRS232::DeviceName(p), "/dev/pts/5");
  unsetenv("QUELLAR_COM12");
  // Below 1 there is no port, and the lowest number must not overflow.
  p.Device.clear();
  for (int32_t port : {0, INT32_MIN}) {
    p.Port = port;
    EXPECT_EQ(TDriverHardwareRS232::DeviceName(p), "") << port;
  }
  // Ports that cannot open fail silently, and a closed port does nothing.
  test::ReportCapture reports;
  TDriverHardwareRS232 port;
  for (const char* text :
       {"DRIVER_DEVICE=/nonexistent/tty", "DRIVER_DEVICE=/dev/null", "DRIVER_COMPORT=-2147483648"})
    EXPECT_FALSE(port.Open(text)) << text;
  EXPECT_FALSE(port.Active());
  EXPECT_EQ(port.WaitInput(1000), TDriverInputWait::Closed);
  port.Close();
  EXPECT_EQ(reports.Count(), 0u);
}

class RS232OnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.Ok());
    ASSERT_TRUE(port.Open(pty.Parameters()));
  }
  // Waits (bounded) until the transport's input queue holds at least n bytes.
  int QueuedAtLeast(int n) {
    int queued = 0;
    for (const auto start = Clock::now(); queued < n && MsSince(start) < 5000;)
      ioctl(pty.Slave(), FIONREAD, &queued);
    return queued;
  }
  speed_t Speed() {
    termios tio{};
    tcgetattr(pty.Slave(), &tio);
    return cfgetospeed(&tio);
  }

  test::ReportCapture reports;
  test::PtyPair pty;
  TDriverHardwareRS232 port;
};

TEST_F(RS232OnPty, OpenSetsEightBitsFlowControlAndSpeed) {
  termios tio{};
  ASSERT_EQ(tcgetattr(pty.Slave(), &tio), 0);
  EXPECT_EQ(tio.c_cflag & (CSIZE | CRTSCTS | PARENB | CSTOPB),
            static_cast<tcflag_t>(CS8 | CRTSCTS));
  EXPECT_EQ(Speed(), static_cast<speed_t>(B115200));
  port.Close();
  ASSERT_TRUE(port.Open(pty.Parameters() + "\nDRIVER_SPEED=9600"));
  EXPECT_EQ(Speed(), static_cast<speed_t>(B9600));
  // A rate outside the table opens through the platform's custom-rate path; an impossible
  // one is a configuration report, yet the port is open.
  for (const char* speed : {"250000", "-5"}) {
    port.Close();
    ASSERT_TRUE(port.Open(pty.Parameters() + "\nDRIVER_SPEED=" + speed));
  }
  ASSERT_EQ(reports.Count(), 1u);
  EXPECT_NE(reports.Messages()[0].find("WinAPI"), std::string::npos);
}

TEST_F(RS232OnPty, OpenIsExclusiveAndKeepsAnOpenPort) {
  EXPECT_FALSE(port.Open(pty.Parameters()));  // already open: reported
  EXPECT_EQ(reports.Count(), 1u);
  TDriverHardwareRS232 other;
  EXPECT_FALSE(other.Open(pty.Parameters()));
  const uint8_t b = 0x55;
  EXPECT_TRUE(port.Write(&b, 1));
  EXPECT_EQ(pty.Receive(1), std::vector<uint8_t>{0x55});
  port.Close();
  EXPECT_TRUE(other.Open(pty.Parameters()));
  EXPECT_EQ(reports.Count(), 1u);
}

TEST_F(RS232OnPty, ReadHandsOutQueuedBytesInPiecesAndPurgeDiscardsThem) {
  std::vector<uint8_t> data(2000), got(2000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13 + i / 251);
  ASSERT_TRUE(pty.Send(data));
  ASSERT_GE(QueuedAtLeast(2000), 2000);
  ASSERT_EQ(port.Read(got.data(), 1024), 1024);
  ASSERT_EQ(port.Read(got.data() + 1024, 1024), 976);
  EXPECT_EQ(got, data);
  ASSERT_TRUE(pty.Send({1, 2, 3, 4}));
  ASSERT_GE(QueuedAtLeast(4), 4);
  port.Purge();
  EXPECT_EQ(port.Read(got.data(), 8), 0);
}

TEST_F(RS232OnPty, WriteLargerThanTheLineHoldsArrivesWholeAfterPartialWrites) {
  // Far more than the terminal buffers, to a reader that starts late: the kernel takes the
  // bytes in parts, and each part must continue where the last one ended.
  std::vector<uint8_t> data(256 * 1024), got;
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 251);
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    got = pty.Receive(data.size(), 10000);
  });
  EXPECT_TRUE(port.Write(data.data(), static_cast<int32_t>(data.size())));
  reader.join();
  EXPECT_TRUE(got == data);
  EXPECT_TRUE(pty.Receive(1, 50).empty());  // and nothing more
}

TEST_F(RS232OnPty, WriteThatCannotDrainGivesUpAfterThreeSeconds) {
  // Nobody reads the peer side: the line fills and the write must not block for ever.
  std::vector<uint8_t> data(1 << 20, 0x33);
  const auto start = Clock::now();
  EXPECT_FALSE(port.Write(data.data(), static_cast<int32_t>(data.size())));
  EXPECT_GE(MsSince(start), 2900);
  EXPECT_LT(MsSince(start), 20000);
}

TEST_F(RS232OnPty, WaitInputWakesOnArrivalAndHangUpFailsFastWithoutSpinning) {
  EXPECT_EQ(port.WaitInput(20), TDriverInputWait::TimedOut);
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pty.Send({0x42});
  });
  EXPECT_EQ(port.WaitInput(10000), TDriverInputWait::Ready);
  writer.join();
  uint8_t buf[8] = {};
  EXPECT_EQ(port.Read(buf, 8), 1);
  EXPECT_EQ(buf[0], 0x42);
  pty.CloseMaster();
  const auto start = Clock::now();
  EXPECT_EQ(port.WaitInput(20000), TDriverInputWait::Closed);
  EXPECT_FALSE(port.Write(buf, 8));
  EXPECT_LT(MsSince(start), 5000);
  EXPECT_EQ(reports.Count(), 0u);
}

}  // namespace
}  // namespace quellar::device
