// The device controller over a real pseudo-terminal against a scripted analyzer thread.
#include <gtest/gtest.h>

#include <chrono>

#include "AnalyzerStandIn.h"
#include "DeviceTestUtil.h"
#include "device/DrvController.h"
#include "device/DrvResponse.h"
#include "support/TestSupport.h"

namespace quellar::device {
namespace {

using test::Hex;
using test::PeerReply;

class ControllerOverPtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.Ok());
    ASSERT_TRUE(port.Open(pty.Parameters()));
  }
  test::ReportCapture reports;
  test::PtyPair pty;
  TDriverHardwareRS232 port;
  TDriverController ctl{&port};
  test::AnalyzerStandIn analyzer{pty};
};

TEST_F(ControllerOverPtyTest, OpenSequenceUploadRunAndSamples) {
  std::vector<uint8_t> code(2500);
  for (size_t i = 0; i < code.size(); ++i) code[i] = static_cast<uint8_t>(i % 251);
  analyzer.block.resize(450);
  for (size_t i = 0; i < analyzer.block.size(); ++i) {
    analyzer.block[i] = static_cast<uint8_t>(0xC0 + i);  // plenty of bytes that need stuffing
  }
  ASSERT_TRUE(ctl.Handshake());
  ASSERT_TRUE(ctl.UpdateState());
  EXPECT_EQ(ctl.State().Master.ID, "M1/v2");
  EXPECT_EQ(ctl.State().Magnetic.ID, "MAG");
  EXPECT_DOUBLE_EQ(ctl.State().Magnetic.SystemTemperature, 25.1);
  EXPECT_DOUBLE_EQ(ctl.State().Magnetic.SampleTemperature, 30.0);
  EXPECT_EQ(ctl.State().Magnetic.Nitrogen, 42);
  EXPECT_EQ(ctl.State().Magnetic.Gain, 0x300);

  ASSERT_TRUE(ctl.UploadProgram(code.data(), static_cast<int32_t>(code.size())));
  ASSERT_TRUE(ctl.RunProgram(5000));
  std::vector<uint8_t> stream;
  ASSERT_TRUE(ctl.ReadSamples(&stream));
  EXPECT_EQ(stream, analyzer.block);

  ctl.State().Master.Detector = 8;
  TDriverResponse response;
  ASSERT_TRUE(response.Receive(&ctl));
  EXPECT_EQ(response.Count(), 300);

  analyzer.Peer().Stop();
  EXPECT_EQ(analyzer.program, code);
  std::vector<uint16_t> offsets;
  std::vector<int32_t> sizes;
  for (const auto& f : analyzer.Received(0x01)) {
    offsets.push_back(f.Word(1));
    sizes.push_back(f.Size() - 3);
  }
  EXPECT_EQ(offsets, (std::vector<uint16_t>{0, 1024, 2048}));
  EXPECT_EQ(sizes, (std::vector<int32_t>{1024, 1024, 452}));
  const auto received = analyzer.Peer().Received();
  ASSERT_GE(received.size(), 7u);
  EXPECT_EQ(received[0].Bytes(), Hex("02 01"));
  EXPECT_EQ(received[1].Bytes(), Hex("00"));
  EXPECT_EQ(received[2].Bytes(), Hex("80"));
  EXPECT_EQ(reports.Count(), 0u);
}

TEST_F(ControllerOverPtyTest, DamagedAnswerIsRepeatedAndThenAccepted) {
  int calls = 0;
  analyzer.intercept = [&](const TDriverFrame& f, std::vector<PeerReply>& out) {
    if (f.Command() != 0x81 || ++calls > 1) return false;
    out = {{TDriverFrame{}, 0, Hex("C0 81 00 FB 00 00 C1")}};  // bad check
    return true;
  };
  ASSERT_TRUE(ctl.Transact(TDriverFrame{0x81}, 0x81));
  EXPECT_EQ(ctl.Answer().Bytes(), Hex("81 00 FB"));
  analyzer.Peer().Stop();
  EXPECT_EQ(analyzer.Peer().Received().size(), 2u);
}

TEST_F(ControllerOverPtyTest, AnalyzerVanishingMidExchangeFailsWithinTheTimeOut) {
  analyzer.intercept = [&](const TDriverFrame& f, std::vector<PeerReply>& out) {
    if (f.Bytes() != Hex("02 00")) return false;
    out = {{TDriverFrame{0x02, 0x02}}, {TDriverFrame{}, 0, {}, true}};
    return true;
  };
  ASSERT_TRUE(ctl.Handshake());
  const auto start = std::chrono::steady_clock::now();
  // Started, then the line goes dead while waiting for "finished".
  EXPECT_FALSE(ctl.RunProgram(60000));
  EXPECT_FALSE(ctl.Transact(TDriverFrame{0x81}, 0x81));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  EXPECT_LT(ms, 6000 + 5000);  // far below the 60 s the caller allowed
  EXPECT_TRUE(port.Active());
  EXPECT_EQ(reports.Count(), 0u);
}

}  // namespace
}  // namespace quellar::device
