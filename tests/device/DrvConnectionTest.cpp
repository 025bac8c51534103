// The serial transport: parameter text, port names, and the POSIX implementation on a real
// pseudo-terminal.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <chrono>
#include <cstdint>
#include <thread>

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
  const struct {
    const char* text;
    int32_t port, speed;
    const char* device;
  } cases[] = {
      {"", 1, 115200, ""},
      {"DRIVER_COMPORT=3", 3, 115200, ""},
      {"DRIVER_COMPORT=12", 12, 115200, ""},
      {"DRIVER_COMPORT=abc", 1, 115200, ""},
      {"DRIVER_COMPORT=2\r\nDRIVER_SPEED=9600", 2, 9600, ""},
      {"DRIVER_COMPORT=2\nDRIVER_SPEED=9600\n", 2, 9600, ""},
      {"DRIVER_SPEED=9600\rDRIVER_COMPORT=4", 4, 9600, ""},
      {"DRIVER_COMPORT=0x10", 1, 115200, ""},
      {"DRIVER_COMPORT= 3", 1, 115200, ""},
      {"DRIVER_COMPORT=", 1, 115200, ""},
      {"DRIVER_COMPORT=-2", -2, 115200, ""},
      {"DRIVER_COMPORT=99999999999", 1, 115200, ""},
      {"DRIVER_SPEED=fast", 1, 115200, ""},
      {"OTHER=5\ndriver_comport=6", 6, 115200, ""},
      {"DRIVER_COMPORT=7\nDRIVER_COMPORT=8", 7, 115200, ""},
      {"DRIVER_DEVICE=/dev/pts/9\nDRIVER_COMPORT=2", 2, 115200, "/dev/pts/9"},
  };
  for (const auto& c : cases) {
    const TDriverParameters p = ParseDriverParameters(c.text);
    EXPECT_EQ(p.Port, c.port) << c.text;
    EXPECT_EQ(p.Speed, c.speed) << c.text;
    EXPECT_EQ(p.Device, c.device) << c.text;
  }
}

TEST(TDriverHardwareRS232, PortNameResolution) {
  unsetenv("QUELLAR_COM3");
  TDriverParameters p;
  p.Port = 3;
  EXPECT_EQ(TDriverHardwareRS232::DeviceName(p), "/dev/ttyS2");
  p.Port = 12;
  EXPECT_EQ(TDriverHardwareRS232::DeviceName(p), "/dev/ttyS11");
  p.Port = 3;
  setenv("QUELLAR_COM3", "/dev/ttyUSB0", 1);
  EXPECT_EQ(TDriverHardwareRS232::DeviceName(p), "/dev/ttyUSB0");
  p.Device = "/dev/pts/5";
  EXPECT_EQ(TDriverHardwareRS232::DeviceName(p), "/dev/pts/5");
  unsetenv("QUELLAR_COM3");
  // Below 1 there is no port, and the lowest number must not overflow.
  p.Device.clear();
  for (int32_t port : {0, -1, INT32_MIN}) {
    p.Port = port;
    EXPECT_EQ(TDriverHardwareRS232::DeviceName(p), "") << port;
  }
  TDriverHardwareRS232 rs232;
  EXPECT_FALSE(rs232.Open("DRIVER_COMPORT=-2147483648"));
}

TEST(TDriverHardwareRS232, MissingDeviceOrNonTerminalFailsSilently) {
  test::ReportCapture reports;
  TDriverHardwareRS232 port;
  EXPECT_FALSE(port.Open("DRIVER_DEVICE=/nonexistent/tty"));
  EXPECT_FALSE(port.Active());
  EXPECT_FALSE(port.Open("DRIVER_DEVICE=/dev/null"));
  EXPECT_FALSE(port.Active());
  EXPECT_EQ(reports.Count(), 0u);
}

TEST(TDriverHardwareRS232, ClosedPortReadsNothingAndWritesNothing) {
  test::ReportCapture reports;
  TDriverHardwareRS232 port;
  uint8_t buf[4] = {1, 2, 3, 4};
  EXPECT_FALSE(port.Active());
  EXPECT_EQ(port.Read(buf, 4), 0);
  EXPECT_FALSE(port.Write(buf, 4));
  EXPECT_EQ(port.WaitInput(1000), TDriverInputWait::Closed);
  port.Close();
  port.Purge();
  EXPECT_EQ(reports.Count(), 0u);
}

class PtyTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.Ok());
    ASSERT_TRUE(port.Open(pty.Parameters()));
  }
  // Waits (bounded) until the transport's input queue holds at least n bytes.
  int QueuedAtLeast(int n) {
    int queued = 0;
    const auto start = Clock::now();
    while (MsSince(start) < 5000) {
      ioctl(slaveFd(), FIONREAD, &queued);
      if (queued >= n) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return queued;
  }
  int slaveFd() { return pty.Slave(); }

  test::ReportCapture reports;
  test::PtyPair pty;
  TDriverHardwareRS232 port;
};

TEST_F(PtyTransportTest, OpenConfiguresRawLineWithFlowControl) {
  EXPECT_TRUE(port.Active());
  termios tio{};
  ASSERT_EQ(tcgetattr(slaveFd(), &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_TRUE(tio.c_cflag & CRTSCTS);
  EXPECT_FALSE(tio.c_cflag & PARENB);
  EXPECT_FALSE(tio.c_cflag & CSTOPB);
  EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO));
  EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF | ICRNL));
  EXPECT_FALSE(tio.c_oflag & OPOST);
  EXPECT_EQ(reports.Count(), 0u);
}

TEST_F(PtyTransportTest, SpeedFromParameterText) {
  port.Close();
  ASSERT_TRUE(port.Open(pty.Parameters() + "\nDRIVER_SPEED=9600"));
  termios tio{};
  ASSERT_EQ(tcgetattr(slaveFd(), &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
  port.Close();
  // A rate outside the table still opens (through the platform's custom-rate path).
  ASSERT_TRUE(port.Open(pty.Parameters() + "\nDRIVER_SPEED=250000"));
  EXPECT_EQ(reports.Count(), 0u);
}

TEST_F(PtyTransportTest, ImpossibleSpeedIsAConfigurationReportButStillOpen) {
  port.Close();
  ASSERT_TRUE(port.Open(pty.Parameters() + "\nDRIVER_SPEED=-5"));
  EXPECT_TRUE(port.Active());
  ASSERT_EQ(reports.Count(), 1u);
  EXPECT_NE(reports.Messages()[0].find("WinAPI"), std::string::npos);
}

TEST_F(PtyTransportTest, ReadReturnsNothingAtOnceWhenNothingQueued) {
  uint8_t buf[16];
  const auto start = Clock::now();
  EXPECT_EQ(port.Read(buf, sizeof buf), 0);
  EXPECT_LT(MsSince(start), 1000);
}

TEST_F(PtyTransportTest, ReadHandsOutQueuedBytesInPieces) {
  std::vector<uint8_t> data(5000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13 + 1);
  std::thread writer([&] { pty.Send(data); });
  ASSERT_GE(QueuedAtLeast(2048), 2048);
  std::vector<uint8_t> got(1024);
  ASSERT_EQ(port.Read(got.data(), 1024), 1024);
  int left = 0;
  ioctl(slaveFd(), FIONREAD, &left);
  EXPECT_GT(left, 0);  // the rest stays queued
  const auto start = Clock::now();
  while (got.size() < data.size() && MsSince(start) < 5000) {
    uint8_t buf[1024];
    port.WaitInput(100);
    const int32_t n = port.Read(buf, 1024);
    ASSERT_LE(n, 1024);
    got.insert(got.end(), buf, buf + n);
  }
  writer.join();
  EXPECT_EQ(got, data);
}

TEST_F(PtyTransportTest, WriteReachesThePeer) {
  std::vector<uint8_t> data(3000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  ASSERT_TRUE(port.Write(data.data(), static_cast<int32_t>(data.size())));
  EXPECT_EQ(pty.Receive(data.size()), data);
}

TEST_F(PtyTransportTest, WriteLargerThanTheLineHoldsArrivesWholeAfterPartialWrites) {
  // Far more than the terminal buffers, to a reader that starts late: the kernel takes the
  // bytes in parts, and each part must continue where the last one ended.
  std::vector<uint8_t> data(256 * 1024);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 251);
  std::vector<uint8_t> got;
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    got = pty.Receive(data.size(), 10000);
  });
  EXPECT_TRUE(port.Write(data.data(), static_cast<int32_t>(data.size())));
  reader.join();
  ASSERT_EQ(got.size(), data.size());
  EXPECT_TRUE(got == data);
  EXPECT_TRUE(pty.Receive(1, 50).empty());  // and nothing more
}

TEST_F(PtyTransportTest, WaitInputWakesOnArrivalAndTimesOutOtherwise) {
  EXPECT_EQ(port.WaitInput(20), TDriverInputWait::TimedOut);
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pty.Send({0x42});
  });
  const auto start = Clock::now();
  EXPECT_EQ(port.WaitInput(10000), TDriverInputWait::Ready);
  EXPECT_LT(MsSince(start), 5000);
  writer.join();
  uint8_t b = 0;
  EXPECT_EQ(port.Read(&b, 1), 1);
  EXPECT_EQ(b, 0x42);
}

TEST_F(PtyTransportTest, SecondOpenOfSameDeviceFails) {
  TDriverHardwareRS232 other;
  EXPECT_FALSE(other.Open(pty.Parameters()));
  EXPECT_FALSE(other.Active());
  port.Close();
  port.Close();  // closing a closed port does nothing
  EXPECT_TRUE(other.Open(pty.Parameters()));
  EXPECT_EQ(reports.Count(), 0u);
}

TEST_F(PtyTransportTest, OpenOnOpenPortIsReportedAndKeepsThePort) {
  EXPECT_FALSE(port.Open(pty.Parameters()));
  EXPECT_EQ(reports.Count(), 1u);
  EXPECT_TRUE(port.Active());
  const uint8_t b = 0x55;
  EXPECT_TRUE(port.Write(&b, 1));
  EXPECT_EQ(pty.Receive(1), std::vector<uint8_t>{0x55});
}

TEST_F(PtyTransportTest, PurgeDiscardsReceivedBytes) {
  ASSERT_TRUE(pty.Send({1, 2, 3, 4}));
  ASSERT_GE(QueuedAtLeast(4), 4);
  port.Purge();
  uint8_t buf[8];
  EXPECT_EQ(port.Read(buf, 8), 0);
}

TEST_F(PtyTransportTest, PeerHangUpFailsFastWithoutSpinning) {
  pty.CloseMaster();
  uint8_t buf[8] = {};
  const auto start = Clock::now();
  EXPECT_EQ(port.WaitInput(20000), TDriverInputWait::Closed);
  EXPECT_EQ(port.Read(buf, 8), 0);
  EXPECT_FALSE(port.Write(buf, 8));
  EXPECT_LT(MsSince(start), 5000);
  EXPECT_TRUE(port.Active());  // still open until closed
  port.Close();
  EXPECT_EQ(reports.Count(), 0u);
}

TEST_F(PtyTransportTest, WriteThatCannotDrainGivesUpAfterThreeSeconds) {
  // Nobody reads the peer side: the line fills and the write must not block for ever.
  std::vector<uint8_t> data(1 << 20, 0x33);
  const auto start = Clock::now();
  EXPECT_FALSE(port.Write(data.data(), static_cast<int32_t>(data.size())));
  const int64_t ms = MsSince(start);
  EXPECT_GE(ms, 2900);
  EXPECT_LT(ms, 20000);
}

}  // namespace
}  // namespace quellar::device
