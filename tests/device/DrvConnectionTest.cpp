// The serial transport: parameter text, port names, and the POSIX implementation on a real
// pseudo-terminal, alone and under the controller.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <chrono>
#include <climits>
#include <thread>

#include "AnalyzerStandIn.h"
#include "device/DrvConnection.h"
#include "device/DrvController.h"
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
  } cases[] = {{"", 1, 115200},
               {"DRIVER_COMPORT=12", 12, 115200},
               {"DRIVER_COMPORT=abc", 1, 115200},
               {"DRIVER_COMPORT=2\r\nDRIVER_SPEED=9600", 2, 9600},
               {"DRIVER_COMPORT=2\nDRIVER_SPEED=9600\n", 2, 9600},
               {"DRIVER_SPEED=9600\rDRIVER_COMPORT=4", 4, 9600},
               {"DRIVER_COMPORT=", 1, 115200},
               {"DRIVER_COMPORT=-2", -2, 115200},
               {"DRIVER_COMPORT=99999999999", 1, 115200},
               {"OTHER=5\ndriver_comport=6", 6, 115200},
               {"DRIVER_COMPORT=7\nDRIVER_COMPORT=8", 7, 115200},
               {"DRIVER_DEVICE=/dev/pts/9\nDRIVER_COMPORT=2", 2, 115200}};
  for (const auto& c : cases) {
    const TDriverParameters p = ParseDriverParameters(c.text);
    EXPECT_EQ(p.Port, c.port) << c.text;
    EXPECT_EQ(p.Speed, c.speed) << c.text;
  }
  EXPECT_EQ(ParseDriverParameters("DRIVER_DEVICE=/dev/pts/9\nDRIVER_COMPORT=2").Device,
            "/dev/pts/9");
}

TEST(TDriverHardwareRS232, PortNamesAndPortsThatCannotOpen) {
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
  // Ports that cannot open fail silently, and a closed port does nothing.
  test::ReportCapture reports;
  TDriverHardwareRS232 port;
  for (const char* text : {"DRIVER_DEVICE=/nonexistent/tty", "DRIVER_DEVICE=/dev/null",
                           "DRIVER_COMPORT=-2147483648"}) {
    EXPECT_FALSE(port.Open(text)) << text;
    EXPECT_FALSE(port.Active()) << text;
  }
  uint8_t buf[4] = {1, 2, 3, 4};
  EXPECT_EQ(port.Read(buf, 4), 0);
  EXPECT_FALSE(port.Write(buf, 4));
  EXPECT_EQ(port.WaitInput(1000), TDriverInputWait::Closed);
  port.Close();
  port.Purge();
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
    for (const auto start = Clock::now(); MsSince(start) < 5000; std::this_thread::yield()) {
      ioctl(pty.Slave(), FIONREAD, &queued);
      if (queued >= n) break;
    }
    return queued;
  }
  termios Attributes() {
    termios tio{};
    EXPECT_EQ(tcgetattr(pty.Slave(), &tio), 0);
    return tio;
  }

  test::ReportCapture reports;
  test::PtyPair pty;
  TDriverHardwareRS232 port;
};

TEST_F(RS232OnPty, OpenSetsEightBitsFlowControlAndSpeed) {
  termios tio = Attributes();
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
  EXPECT_EQ(tio.c_cflag & (CSIZE | CRTSCTS | PARENB | CSTOPB),
            static_cast<tcflag_t>(CS8 | CRTSCTS));
  port.Close();
  ASSERT_TRUE(port.Open(pty.Parameters() + "\nDRIVER_SPEED=9600"));
  tio = Attributes();
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
  // A rate outside the table opens through the platform's custom-rate path.
  port.Close();
  ASSERT_TRUE(port.Open(pty.Parameters() + "\nDRIVER_SPEED=250000"));
  EXPECT_EQ(reports.Count(), 0u);
  // An impossible one is a configuration report, yet the port is open.
  port.Close();
  ASSERT_TRUE(port.Open(pty.Parameters() + "\nDRIVER_SPEED=-5"));
  EXPECT_TRUE(port.Active());
  ASSERT_EQ(reports.Count(), 1u);
  EXPECT_NE(reports.Messages()[0].find("WinAPI"), std::string::npos);
}

TEST_F(RS232OnPty, OpenIsExclusiveAndKeepsAnOpenPort) {
  EXPECT_FALSE(port.Open(pty.Parameters()));  // already open: reported
  EXPECT_EQ(reports.Count(), 1u);
  EXPECT_TRUE(port.Active());
  TDriverHardwareRS232 other;
  EXPECT_FALSE(other.Open(pty.Parameters()));
  EXPECT_FALSE(other.Active());
  const uint8_t b = 0x55;
  EXPECT_TRUE(port.Write(&b, 1));
  EXPECT_EQ(pty.Receive(1), std::vector<uint8_t>{0x55});
  port.Close();
  port.Close();  // closing a closed port does nothing
  EXPECT_TRUE(other.Open(pty.Parameters()));
  EXPECT_EQ(reports.Count(), 1u);
}

TEST_F(RS232OnPty, ReadHandsOutQueuedBytesInPiecesAndPurgeDiscardsThem) {
  std::vector<uint8_t> data(5000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13 + 1);
  std::thread writer([&] { pty.Send(data); });
  ASSERT_GE(QueuedAtLeast(2048), 2048);
  std::vector<uint8_t> got(1024);
  ASSERT_EQ(port.Read(got.data(), 1024), 1024);
  int left = 0;
  ioctl(pty.Slave(), FIONREAD, &left);
  EXPECT_GT(left, 0);  // the rest stays queued
  for (const auto start = Clock::now(); got.size() < data.size() && MsSince(start) < 5000;) {
    uint8_t buf[1024];
    port.WaitInput(100);
    const int32_t n = port.Read(buf, 1024);
    ASSERT_LE(n, 1024);
    got.insert(got.end(), buf, buf + n);
  }
  writer.join();
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
  ASSERT_EQ(got.size(), data.size());
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
  auto start = Clock::now();
  EXPECT_EQ(port.WaitInput(10000), TDriverInputWait::Ready);
  EXPECT_LT(MsSince(start), 5000);
  writer.join();
  uint8_t buf[8] = {};
  EXPECT_EQ(port.Read(buf, 8), 1);
  EXPECT_EQ(buf[0], 0x42);
  pty.CloseMaster();
  start = Clock::now();
  EXPECT_EQ(port.WaitInput(20000), TDriverInputWait::Closed);
  EXPECT_EQ(port.Read(buf, 8), 0);
  EXPECT_FALSE(port.Write(buf, 8));
  EXPECT_LT(MsSince(start), 5000);
  EXPECT_TRUE(port.Active());  // still open until closed
  EXPECT_EQ(reports.Count(), 0u);
}

TEST_F(RS232OnPty, ControllerFailsFastWhenTheAnalyzerVanishesMidRun) {
  test::AnalyzerStandIn analyzer(pty);
  TDriverController ctl(&port);
  ASSERT_TRUE(ctl.Handshake());
  EXPECT_EQ(ctl.State().Master.ID, "M1/v2");
  // Started, then the line goes dead while the controller waits for "finished".
  analyzer.intercept = [&](const TDriverFrame& f, std::vector<test::PeerReply>&) {
    if (f.Bytes() != test::Hex("02 00")) return false;
    pty.Send(EncodeFrame(TDriverFrame{0x02, 0x02}));
    pty.CloseMaster();
    return true;
  };
  const auto start = Clock::now();
  EXPECT_FALSE(ctl.RunProgram(60000));
  EXPECT_FALSE(ctl.Transact(TDriverFrame{0x81}, 0x81));
  EXPECT_LT(MsSince(start), 6000 + 5000);  // far below the 60 s the caller allowed
  EXPECT_EQ(analyzer.Received(0x02).size(), 2u);
  EXPECT_EQ(reports.Count(), 0u);
}

}  // namespace
}  // namespace quellar::device
