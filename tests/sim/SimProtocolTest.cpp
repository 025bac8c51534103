// The virtual analyzer driven by the library's own device controller: in-process on a virtual
// clock, and over a real pseudo-terminal through the serial transport.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "SimTestUtil.h"
#include "device/DrvController.h"
#include "device/DrvResponse.h"
#include "platform/Clock.h"
#include "sim/SimPty.h"
#include "sim/SimTransport.h"

namespace quellar::test {
namespace {

using device::TDriverController;
using device::TDriverFrame;
using sim::TSimTransport;

// A controller on the in-process transport, with the clock installed before the analyzer.
struct Bench {
  explicit Bench(const sim::TSimSample& sample = {}, const sim::TSimLine& line = {},
                 const sim::TSimFaults& faults = {})
      : transport(sample, line, faults) {
    transport.Open("");
  }
  uint32_t Elapsed(uint32_t since) { return platform::Elapsed(since, clock.Ticks()); }

  platform::VirtualClock clock{0xFFFFF000u};  // wraps during the test
  platform::ScopedClock scoped{clock};
  TSimTransport transport;
  TDriverController controller{&transport};
};

TEST(TSimTransport, ControllerReadsIdentityAndStateAndSetsSettings) {
  Bench b(
      Sample("sample_temp=25,setpoint=40,thermal_tau=60,system_temp=none,coarse=1234,"
             "gain=99,nitrogen=7,aux=0xBEEF,magnetic=MAG/2.1"));
  ASSERT_TRUE(b.controller.Handshake());
  device::TDriverState& state = b.controller.State();
  EXPECT_EQ(state.Master.ID, "Quellar virtual analyzer/master/1.0");
  EXPECT_EQ(state.Magnetic.ID, "MAG/2.1");
  b.clock.Advance(60000);
  ASSERT_TRUE(b.controller.UpdateState());
  EXPECT_EQ(state.Magnetic.SystemTemperature, 0.0);
  EXPECT_DOUBLE_EQ(state.Magnetic.SampleTemperature, 34.5);  // 40 - 15/e, in tenths
  EXPECT_EQ(state.Magnetic.BiasRoughly, 1234);
  EXPECT_EQ(state.Magnetic.Gain, 99);
  EXPECT_EQ(state.Magnetic.Nitrogen, 7);
  EXPECT_EQ(state.Magnetic.AuxWord, 0xBEEF);

  TDriverFrame frame;
  state.Magnetic.Gain = 3000;
  state.Magnetic.BiasPrecise = 17;
  state.EncodeMagneticSettings(frame);
  ASSERT_TRUE(b.controller.Transact(frame, 0x90));
  state.Master.Detector = 8;
  state.Master.Filter = 2;
  state.EncodeMasterSettings(frame);
  ASSERT_TRUE(b.controller.Transact(frame, 0x02));
  state.Magnetic.SampleSetpoint = 37;
  state.EncodeSampleSetpoint(frame);
  ASSERT_TRUE(b.controller.Transact(frame, 0x90));
  const sim::TSimSettings& set = b.transport.Analyzer().Settings();
  EXPECT_EQ(set.Gain, 3000);
  EXPECT_EQ(set.BiasPrecise, 17);
  EXPECT_EQ(set.BiasRoughly, 1234);
  EXPECT_EQ(set.Detector, 8);
  EXPECT_EQ(set.Filter, 2);
  EXPECT_EQ(b.transport.Analyzer().Setpoint(), 37);
}

// Uploads in chunks, runs for the program's time on the clock and fetches every sample; a
// refused upload leaves nothing to run; at the line speed the block takes its time.
TEST(TSimTransport, UploadRunAndReadSamples) {
  sim::TSimLine paced;
  paced.Pace = true;
  for (const bool pace : {false, true}) {
    Bench b({}, pace ? paced : sim::TSimLine{});
    const std::vector<uint8_t> probe = ProbeCode(3300);
    ASSERT_GT(probe.size(), 2048u);
    ASSERT_TRUE(b.controller.UploadProgram(probe.data(), static_cast<int32_t>(probe.size())));
    EXPECT_EQ(b.transport.Peer().Received(0x01), (probe.size() + 1023) / 1024);
    uint32_t start = b.clock.Ticks();
    ASSERT_TRUE(b.controller.RunProgram(1000));
    EXPECT_GE(b.Elapsed(start), 6u);  // 5.12 ms of program, the frames' time when paced
    EXPECT_LE(b.Elapsed(start), pace ? 20u : 6u);
    device::TDriverResponse response;
    start = b.clock.Ticks();
    ASSERT_TRUE(response.Receive(&b.controller));
    EXPECT_EQ(response.Count(), 5100);
    // 15,300 bytes and their framing at 11,520 bytes a second.
    if (pace) {
      EXPECT_NEAR(b.Elapsed(start), 1340, 15);
    }
    EXPECT_GT(std::hypot(response.Real.GetValue(100) - 512, response.Imaginary.GetValue(100) - 512),
              50);
  }
  Bench b;
  const std::vector<uint8_t> bad = {0xF8, 0x7F, 0xF8, 0xFF};
  EXPECT_FALSE(b.controller.UploadProgram(bad.data(), 4));
  EXPECT_EQ(b.transport.Peer().Refusal(), "delay class 7 at offset 1");
  EXPECT_FALSE(b.controller.RunProgram(1000));
  EXPECT_EQ(b.controller.Answer().Bytes(), (std::vector<uint8_t>{0x02, sim::kSimStatusNoProgram}));
}

// Lost, damaged, late and repeated answers: the controller's repetition recovers, or the
// operation fails within its bound; a dead or mute line never blocks.
TEST(TSimTransport, FaultsAreRecoveredOrFailWithinBounds) {
  enum Op { kHandshake, kUpdate, kUpload, kRun };
  struct Case {
    const char* fault;
    Op op;
    bool ok;
    uint8_t command;
    uint32_t sent;
    uint32_t mostMs;
  };
  const Case cases[] = {
      {"drop:0x81#1", kUpdate, true, 0x81, 2, 2001},
      {"corrupt:0x83#1", kUpdate, true, 0x83, 2, 2001},
      {"duplicate:0x00", kUpload, true, 0x01, 10, 0},  // each chunk takes its own ack
      {"delay:0x04#1=2500", kHandshake, true, 0x00, 2, 2500},
      {"stray:0x84=0x02", kUpdate, true, 0x84, 1, 0},
      {"delay:0x02#2=1500", kRun, false, 0x02, 1, 1001},
      {"mute", kHandshake, false, 0x02, 3, 6003},
      {"hangup=5", kHandshake, false, 0x02, 1, 1},
      {"hangup-in=100", kUpload, false, 0x01, 0, 0},
  };
  const std::vector<uint8_t> probe = ProbeCode(3300);
  for (const Case& c : cases) {
    sim::TSimFaults faults;
    std::string error;
    ASSERT_TRUE(sim::ParseSimFault(c.fault, faults, error)) << error;
    Bench b({}, {}, faults);
    if (c.op == kRun) {
      ASSERT_TRUE(b.controller.UploadProgram(probe.data(), static_cast<int32_t>(probe.size())));
    }
    const uint32_t start = b.clock.Ticks();
    bool ok = false;
    switch (c.op) {
      case kHandshake:
        ok = b.controller.Handshake();
        break;
      case kUpdate:
        ok = b.controller.UpdateState();
        break;
      case kUpload:
        ok = b.controller.UploadProgram(probe.data(), static_cast<int32_t>(probe.size()));
        break;
      case kRun:
        ok = b.controller.RunProgram(1000);
        break;
    }
    EXPECT_EQ(ok, c.ok) << c.fault;
    EXPECT_EQ(b.transport.Peer().Received(c.command), c.sent) << c.fault;
    EXPECT_LE(b.Elapsed(start), c.mostMs) << c.fault;
  }
}

// The real serial transport opens the server's link; the analyzer answers in real time.
TEST(TSimPtyServer, ServesTheSerialTransport) {
  const std::filesystem::path link =
      std::filesystem::temp_directory_path() / ("quellar-sim-" + std::to_string(::getpid()));
  sim::TSimPtyServer server(Sample("gain=1000"));
  std::string error;
  ASSERT_TRUE(server.Start(link.string(), error)) << error;
  EXPECT_EQ(std::filesystem::read_symlink(link), server.SlavePath());
  {
    device::TDriverHardwareRS232 serial;
    ASSERT_TRUE(serial.Open("DRIVER_DEVICE=" + link.string()));
    TDriverController controller(&serial);
    ASSERT_TRUE(controller.Handshake());
    ASSERT_TRUE(controller.UpdateState());
    EXPECT_EQ(controller.State().Magnetic.Gain, 1000);
    const std::vector<uint8_t> probe = ProbeCode(3300);
    ASSERT_TRUE(controller.UploadProgram(probe.data(), static_cast<int32_t>(probe.size())));
    ASSERT_TRUE(controller.RunProgram(5000));
    std::vector<uint8_t> block;
    ASSERT_TRUE(controller.ReadSamples(&block));
    EXPECT_EQ(block.size(), 5100u * 3);
  }
  EXPECT_EQ(server.Inspect([](sim::TSimPeer& peer) { return peer.Received(0x02); }), 2u);
  server.Stop();
  EXPECT_FALSE(std::filesystem::is_symlink(link));
}

}  // namespace
}  // namespace quellar::test
