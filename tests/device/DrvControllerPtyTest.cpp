// The device controller over a real pseudo-terminal against a scripted analyzer thread.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>

#include "DeviceTestUtil.h"
#include "ScriptedPeer.h"
#include "device/DrvController.h"
#include "device/DrvResponse.h"
#include "support/TestSupport.h"

namespace quellar::device {
namespace {

using test::Hex;
using test::PeerReply;

// A small analyzer: identifies itself, reports its state, stores uploaded chunks, runs the
// program and serves a sample block in pieces.
class Analyzer {
 public:
  std::vector<uint8_t> program;
  std::vector<uint8_t> block;
  uint32_t runMs = 30;

  std::vector<PeerReply> Answer(const TDriverFrame& f) {
    std::lock_guard<std::mutex> lock(mutex_);
    switch (f.Command()) {
      case 0x02:
        if (f.Size() >= 2 && f[1] == 0x01) return {{TDriverFrame{0x02, 0x02}}};
        return {{TDriverFrame{0x02, 0x02}}, {TDriverFrame{0x02, 0x04}, runMs}};
      case 0x00:
        return {{test::Frame(Hex("04 4D 31 00 76 32 00 00"))}};
      case 0x80:
        return {{test::Frame(Hex("80 4D 41 47 00 00"))}};
      case 0x81:
        return {{TDriverFrame{0x81, 0x00, 0xFB}}};
      case 0x82:
        return {{TDriverFrame{0x82, 0x01, 0x2C}}};
      case 0x83:
        return {{test::Frame(Hex("83 2A 10 00 20 00 30 00"))}};
      case 0x84:
        return {{TDriverFrame{0x84, 0x00, 0x07}}};
      case 0x01: {
        const size_t offset = f.Word(1);
        if (program.size() < offset + (f.Size() - 3)) program.resize(offset + (f.Size() - 3));
        std::copy(f.Data() + 3, f.Data() + f.Size(), program.begin() + offset);
        return {{TDriverFrame{0x00, f[1], f[2]}}};
      }
      case 0x03: {
        std::vector<PeerReply> out;
        for (size_t at = 0; at < block.size(); at += 200) {
          const size_t n = std::min<size_t>(200, block.size() - at);
          TDriverFrame piece;
          piece.Resize(static_cast<int32_t>(n + 3));
          piece[0] = 0x03;
          piece.SetWord(1, static_cast<uint16_t>(at));
          std::copy(block.begin() + at, block.begin() + at + n, piece.Data() + 3);
          out.push_back({piece});
        }
        TDriverFrame total{0x00, 0, 0};
        total.SetWord(1, static_cast<uint16_t>(block.size()));
        out.push_back({total});
        return out;
      }
      default:
        return {};
    }
  }

 private:
  std::mutex mutex_;
};

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
  Analyzer analyzer;
};

TEST_F(ControllerOverPtyTest, OpenSequenceUploadRunAndSamples) {
  std::vector<uint8_t> code(2500);
  for (size_t i = 0; i < code.size(); ++i) code[i] = static_cast<uint8_t>(i % 251);
  analyzer.block.resize(450);
  for (size_t i = 0; i < analyzer.block.size(); ++i) {
    analyzer.block[i] = static_cast<uint8_t>(0xC0 + i);  // plenty of bytes that need stuffing
  }
  test::ScriptedPeer peer(pty, [&](const TDriverFrame& f) { return analyzer.Answer(f); });

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

  peer.Stop();
  EXPECT_EQ(analyzer.program, code);
  std::vector<uint16_t> offsets;
  std::vector<int32_t> sizes;
  for (const auto& f : peer.Received()) {
    if (f.Command() != 0x01) continue;
    offsets.push_back(f.Word(1));
    sizes.push_back(f.Size() - 3);
  }
  EXPECT_EQ(offsets, (std::vector<uint16_t>{0, 1024, 2048}));
  EXPECT_EQ(sizes, (std::vector<int32_t>{1024, 1024, 452}));
  const auto received = peer.Received();
  ASSERT_GE(received.size(), 7u);
  EXPECT_EQ(received[0].Bytes(), Hex("02 01"));
  EXPECT_EQ(received[1].Bytes(), Hex("00"));
  EXPECT_EQ(received[2].Bytes(), Hex("80"));
  EXPECT_EQ(reports.Count(), 0u);
}

TEST_F(ControllerOverPtyTest, DamagedAnswerIsRepeatedAndThenAccepted) {
  int calls = 0;
  test::ScriptedPeer peer(pty, [&](const TDriverFrame& f) -> std::vector<PeerReply> {
    if (f.Command() != 0x81) return {};
    if (++calls == 1) return {{TDriverFrame{}, 0, Hex("C0 81 00 FB 00 00 C1")}};  // bad check
    return {{TDriverFrame{0x81, 0x00, 0xFB}}};
  });
  ASSERT_TRUE(ctl.Transact(TDriverFrame{0x81}, 0x81));
  EXPECT_EQ(ctl.Answer().Bytes(), Hex("81 00 FB"));
  peer.Stop();
  EXPECT_EQ(peer.Received().size(), 2u);
}

TEST_F(ControllerOverPtyTest, AnalyzerVanishingMidExchangeFailsWithinTheTimeOut) {
  test::ScriptedPeer peer(pty, [&](const TDriverFrame& f) -> std::vector<PeerReply> {
    if (f.Bytes() == Hex("02 00"))
      return {{TDriverFrame{0x02, 0x02}}, {TDriverFrame{}, 0, {}, true}};
    return analyzer.Answer(f);
  });
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
