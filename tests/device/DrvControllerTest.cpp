// Transactions of the device controller against a fake transport on a virtual clock.
#include <gtest/gtest.h>

#include <map>
#include <stdexcept>

#include "DeviceTestUtil.h"
#include "FakeTransport.h"
#include "device/DrvController.h"
#include "device/DrvResponse.h"
#include "support/TestSupport.h"

namespace quellar::device {
namespace {

using test::Hex;
using test::ToHex;

constexpr uint32_t kStart = 1000;

// A controller on a fake line with a virtual clock of its own.
struct Rig {
  explicit Rig(uint32_t at = kStart) : start(at), clock(at) {}
  uint32_t Now() { return clock.Ticks() - start; }
  // Answers each listed command code with its frames, delayMs after the command.
  void AnswerCodes(std::map<uint8_t, std::vector<const char*>> answers, uint32_t delayMs = 0) {
    link.responder = [answers, delayMs](test::FakeTransport& t, const TDriverFrame& f) {
      if (auto it = answers.find(f.Command()); it != answers.end())
        for (const char* a : it->second) t.Answer(test::Frame(Hex(a)), delayMs);
    };
  }
  // The frames sent so far, "|" after each.
  std::string Sent() {
    std::string out;
    for (const auto& f : link.sent) out += ToHex(f.Bytes()) + "|";
    return out;
  }

  uint32_t start;
  platform::VirtualClock clock;
  platform::ScopedClock scoped{clock};
  test::FakeTransport link{&clock};
  TDriverController ctl{&link};
};

// A sample block whose byte i is i mod 256.
const std::vector<uint8_t>& Block() {
  static const std::vector<uint8_t> block = [] {
    std::vector<uint8_t> b(65536);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i);
    return b;
  }();
  return block;
}

// Acknowledges each chunk with its offset.
void AcknowledgeUploads(test::FakeTransport& t, const TDriverFrame& f) {
  if (f.Command() == 0x01 && f.Size() >= 3) t.Answer(TDriverFrame{0x00, f[1], f[2]}, 5);
}

TEST(TDriverController, UnansweredTransactSendsTheFrameThreeTimesTwoSecondsApart) {
  // Also across the wrap of the tick counter.
  for (uint32_t start : {kStart, 0xFFFFFFFFu - 3000}) {
    Rig r(start);
    const TDriverFrame frame{0x93, 1, 2, 3, 4, 5, 6, 7};
    EXPECT_FALSE(r.ctl.Transact(frame, 0x90));
    EXPECT_EQ(r.link.sent, std::vector<TDriverFrame>(3, frame));
    EXPECT_EQ(r.link.sentAt, (std::vector<uint32_t>{start, start + 2001, start + 4002}));
    EXPECT_EQ(r.Now(), 6003u);
    EXPECT_EQ(r.link.waits, 3);  // one blocking wait per attempt, not a poll loop
  }
}

TEST(TDriverController, AnswerTimingAgainstTheTwoSecondAttempt) {
  const struct {
    uint32_t delay;
    bool every;    // each attempt answered, not the first only
    size_t sends;  // 0: never in time
    size_t left;   // frames left once the answer is released and late ones have come
  } cases[] = {{0, false, 1, 0},    {1999, false, 1, 0}, {2000, false, 1, 0}, {2001, false, 2, 0},
               {2500, false, 2, 0}, {4500, false, 3, 0}, {6003, false, 0, 1}, {2500, true, 2, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.delay);
    Rig r;
    r.link.responder = [&](test::FakeTransport& t, const TDriverFrame&) {
      if (c.every || t.sent.size() == 1) t.Answer(TDriverFrame{0x84, 0x12, 0x34}, c.delay);
    };
    EXPECT_EQ(r.ctl.Transact(TDriverFrame{0x84}, 0x84), c.sends != 0);
    EXPECT_EQ(r.link.sent.size(), c.sends ? c.sends : 3u);
    r.ctl.ReleaseAnswer();
    r.clock.Advance(5000);
    r.ctl.ReceiveFrames();
    EXPECT_EQ(r.ctl.Frames().size(), c.left);
  }
}

TEST(TDriverController, AnswersComeInArrivalOrderAndStayUntilReleasedOrProcessed) {
  Rig r;
  for (const char* f : {"82 01 2C", "02 04", "82 01 2D", "04 41 00 00"})
    r.link.Answer(test::Frame(Hex(f)));
  r.AnswerCodes({{0x81, {"81 01 2C"}}});
  ASSERT_TRUE(r.ctl.Transact(TDriverFrame{0x81}, 0x81));
  EXPECT_EQ(r.ctl.Answer().Bytes(), Hex("81 01 2C"));
  EXPECT_EQ(r.ctl.Frames().size(), 5u);
  r.ctl.ReleaseAnswer();
  EXPECT_EQ(r.ctl.Frames().size(), 4u);
  EXPECT_EQ(r.ctl.Answer().Size(), 0);
  // A status frame already queued answers the next transaction at once.
  ASSERT_TRUE(r.ctl.Transact(TDriverFrame{0x04, 0x0A, 0x00}, 0x02));
  EXPECT_EQ(r.ctl.Answer().Bytes(), Hex("02 04"));
  EXPECT_EQ(r.Sent(), "81|04 0A 00|");
  EXPECT_EQ(r.Now(), 0u);
  ASSERT_TRUE(r.ctl.PollAnswer(0x82));
  EXPECT_EQ(r.ctl.Answer().Bytes(), Hex("82 01 2C"));
  EXPECT_FALSE(r.ctl.PollAnswer(0x83));
  r.ctl.ProcessFrames();
  EXPECT_TRUE(r.ctl.Frames().empty());
  EXPECT_DOUBLE_EQ(r.ctl.State().Magnetic.SampleTemperature, 30.1);  // the later one last
  EXPECT_EQ(r.ctl.State().Master.ID, "A");
  r.ctl.ReleaseAnswer();  // its source is gone: the copy survives
  EXPECT_EQ(r.ctl.Answer().Bytes(), Hex("82 01 2C"));
}

TEST(TDriverController, HangUpOrWriteFailureEndsWithoutWaitingOut) {
  Rig r;
  r.link.hungUp = true;
  EXPECT_FALSE(r.ctl.WaitAnswer(0x02, 60000));
  EXPECT_FALSE(r.ctl.Transact(TDriverFrame{0x80}, 0x80));
  EXPECT_EQ(r.link.sent.size(), 3u);
  r.link.writeResult = false;
  EXPECT_FALSE(r.ctl.Transact(TDriverFrame{0x81}, 0x81));
  EXPECT_EQ(r.link.sent.size(), 4u);
  EXPECT_EQ(r.link.waits, 4);  // none after the failed write
  EXPECT_EQ(r.Now(), 0u);
}

TEST(TDriverController, InactiveLineTouchesNothing) {
  Rig r;
  r.link.active = false;
  r.link.Answer(TDriverFrame{0x02, 0x02});
  std::vector<uint8_t> stream;
  const uint8_t code[] = {1, 2, 3};
  const TDriverFrame f{0x81};
  EXPECT_FALSE(r.ctl.SendFrame(nullptr));
  EXPECT_FALSE(r.ctl.SendFrame(&f));
  EXPECT_FALSE(r.ctl.Transact(f, 0x81));
  EXPECT_FALSE(r.ctl.WaitAnswer(0x02, 100));
  EXPECT_FALSE(r.ctl.Handshake());
  EXPECT_FALSE(r.ctl.UpdateState());
  EXPECT_FALSE(r.ctl.UploadProgram(code, 3));
  EXPECT_FALSE(r.ctl.UploadProgram(code, 0));
  EXPECT_FALSE(r.ctl.RunProgram(100));
  EXPECT_FALSE(r.ctl.ReadSamples(&stream));
  r.ctl.ReceiveFrames();
  EXPECT_TRUE(r.link.sent.empty());
  EXPECT_TRUE(r.ctl.Frames().empty());  // nothing read
  EXPECT_EQ(r.Now(), 0u);
}

TEST(TDriverController, HandshakeAndUpdateStateSendTheOpenSequence) {
  Rig r;
  r.AnswerCodes({{0x02, {"02 02"}},
                 {0x00, {"04 51 4D 00 31 2E 30 00 00"}},
                 {0x80, {"80 4D 41 47 00 00"}},
                 {0x81, {"81 00 FA"}},
                 {0x82, {"82 80 00"}},
                 {0x83, {"83 20 01 00 02 00 03 00"}},
                 {0x84, {"84 BE EF"}}});
  ASSERT_TRUE(r.ctl.Handshake());
  ASSERT_TRUE(r.ctl.UpdateState());
  EXPECT_EQ(r.Sent(), "02 01|00|80|81|82|83|84|");
  const auto& s = r.ctl.State();
  EXPECT_EQ(s.Master.ID, "QM/1.0");
  EXPECT_EQ(s.Magnetic.ID, "MAG");
  EXPECT_DOUBLE_EQ(s.Magnetic.SystemTemperature, 25.0);
  EXPECT_DOUBLE_EQ(s.Magnetic.SampleTemperature, 0.0);
  EXPECT_EQ(s.Magnetic.Nitrogen, 0x20);
  EXPECT_EQ(s.Magnetic.BiasRoughly, 0x010);
  EXPECT_EQ(s.Magnetic.BiasPrecise, 0x020);
  EXPECT_EQ(s.Magnetic.Gain, 0x030);
  EXPECT_EQ(s.Magnetic.AuxWord, 0xBEEF);
  EXPECT_TRUE(r.ctl.Frames().empty());
  EXPECT_EQ(r.Now(), 0u);
}

TEST(TDriverController, HandshakeAndUpdateStateStopAtTheFirstFailedStep) {
  Rig r;
  r.AnswerCodes({{0x02, {"02 02"}}, {0x81, {"81 01 00"}}, {0x82, {"82 01 2C"}}});
  EXPECT_FALSE(r.ctl.Handshake());
  EXPECT_EQ(r.Sent(), "02 01|00|00|00|");
  EXPECT_EQ(r.ctl.Frames().size(), 1u);  // the status answer, not processed
  EXPECT_FALSE(r.ctl.UpdateState());
  EXPECT_EQ(r.Sent(), "02 01|00|00|00|81|82|83|83|83|");
  EXPECT_DOUBLE_EQ(r.ctl.State().Magnetic.SampleTemperature, 0.0);  // not yet processed
  r.ctl.ProcessFrames();
  EXPECT_DOUBLE_EQ(r.ctl.State().Magnetic.SampleTemperature, 30.0);
  EXPECT_DOUBLE_EQ(r.ctl.State().Magnetic.SystemTemperature, 25.6);
}

TEST(TDriverController, UploadSendsAcknowledgedChunksOf1024WithSixteenBitOffsets) {
  Rig r;
  r.link.responder = AcknowledgeUploads;
  std::vector<uint8_t> program(65537);
  for (size_t i = 0; i < program.size(); ++i) program[i] = static_cast<uint8_t>(i * 7);
  ASSERT_TRUE(r.ctl.UploadProgram(program.data(), 2500));
  std::vector<uint8_t> joined;
  for (const auto& f : r.link.sent) {
    EXPECT_EQ(f.Command(), 0x01);
    EXPECT_EQ(f.Word(1), joined.size());
    joined.insert(joined.end(), f.Bytes().begin() + 3, f.Bytes().end());
  }
  EXPECT_EQ(r.link.sent.size(), 3u);
  EXPECT_EQ(joined, std::vector<uint8_t>(program.begin(), program.begin() + 2500));
  EXPECT_TRUE(r.ctl.Frames().empty());

  r.link.sent.clear();
  EXPECT_FALSE(r.ctl.UploadProgram(program.data(), 65537));
  EXPECT_FALSE(r.ctl.UploadProgram(program.data(), -1));
  EXPECT_FALSE(r.ctl.UploadProgram(nullptr, 10));
  EXPECT_TRUE(r.link.sent.empty());
  ASSERT_TRUE(r.ctl.UploadProgram(program.data(), 65536));
  ASSERT_EQ(r.link.sent.size(), 64u);
  EXPECT_EQ(r.link.sent.back().Word(1), 0xFC00);
}

TEST(TDriverController, UploadFailsOnWrongEchoOrRefusal) {
  Rig r;
  EXPECT_TRUE(r.ctl.UploadProgram(nullptr, 0));  // nothing to send, no refusal
  r.link.Answer(TDriverFrame{0x01});
  EXPECT_FALSE(r.ctl.UploadProgram(nullptr, 0));
  EXPECT_EQ(r.ctl.Frames().size(), 1u);
  r.ctl.ProcessFrames();
  EXPECT_TRUE(r.link.sent.empty());

  r.AnswerCodes({{0x01, {"00 00 01"}}});
  std::vector<uint8_t> program(1500, 0xAA);
  EXPECT_FALSE(r.ctl.UploadProgram(program.data(), 1500));
  EXPECT_EQ(r.link.sent.size(), 1u);
  EXPECT_EQ(r.ctl.Frames().size(), 1u);  // the wrong acknowledgement stays
  r.ctl.ProcessFrames();

  r.link.responder = [](test::FakeTransport& t, const TDriverFrame& f) {
    AcknowledgeUploads(t, f);
    if (f.Word(1) == 1024) t.Answer(TDriverFrame{0x01}, 1);
  };
  EXPECT_FALSE(r.ctl.UploadProgram(program.data(), 1500));
  EXPECT_EQ(r.link.sent.size(), 3u);
  EXPECT_EQ(r.ctl.Answer().Command(), 0x01);
}

TEST(TDriverController, RunProgramWaitsForFinishedStatus) {
  Rig r;
  r.AnswerCodes({{0x02, {"02 02"}}}, 10);
  r.link.Answer(TDriverFrame{0x02, 0x04}, 7000);
  r.link.Answer(TDriverFrame{0x83, 0x05, 0, 0, 0, 0, 0, 0});  // processed at the end
  ASSERT_TRUE(r.ctl.RunProgram(10000));
  EXPECT_EQ(r.Sent(), "02 00|");
  EXPECT_EQ(r.Now(), 7000u);
  EXPECT_TRUE(r.ctl.Frames().empty());
  EXPECT_EQ(r.ctl.State().Magnetic.Nitrogen, 5);
}

TEST(TDriverController, RunProgramFailures) {
  const struct {
    const char* first;
    const char* second;
    bool answerLeft;  // the rejected answer stays unreleased
  } cases[] = {
      {"02 04", "02 04", true},  // finished where started was expected
      {"02", "02 04", true},     // status byte missing
      {"02 02", "02 03", true},  // wrong final status
      {"02 02", "", false},      // never finishes
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.first) + " / " + c.second);
    Rig r;
    r.link.responder = [&](test::FakeTransport& t, const TDriverFrame&) {
      t.Answer(test::Frame(Hex(c.first)), 1);
      if (*c.second) t.Answer(test::Frame(Hex(c.second)), 50);
    };
    EXPECT_FALSE(r.ctl.RunProgram(1000));
    EXPECT_EQ(r.ctl.Frames().empty(), !c.answerLeft);
    EXPECT_LE(r.Now(), 2002u);
  }
}

TEST(TDriverController, ReadSamplesJoinsPiecesInOrderAndARetryAfterAGapIsClean) {
  Rig r;
  std::vector<uint8_t> other(300, 0x80);
  r.link.responder = [&](test::FakeTransport& t, const TDriverFrame&) {
    const bool first = t.sent.size() == 1;
    t.Answer(test::Piece(first ? other : Block(), 0, 100), 3);
    if (!first) t.Answer(test::Piece(Block(), 100, 100), 6);
    t.Answer(test::Piece(Block(), 200, 100), 9);
    t.Answer(TDriverFrame{0x00, 0x01, 0x2C}, 12);
  };
  std::vector<uint8_t> stream;
  EXPECT_FALSE(r.ctl.ReadSamples(&stream));
  EXPECT_EQ(stream.size(), 100u);        // piece 200 skipped after the gap
  EXPECT_EQ(r.ctl.Frames().size(), 3u);  // everything left in place
  // The retry must not take the first fetch's pieces for its own, nor keep the old stream.
  ASSERT_TRUE(r.ctl.ReadSamples(&stream));
  EXPECT_EQ(stream, std::vector<uint8_t>(Block().begin(), Block().begin() + 300));
  EXPECT_EQ(r.Sent(), "03|03|");
  EXPECT_TRUE(r.ctl.Frames().empty());
  EXPECT_FALSE(r.ctl.ReadSamples(nullptr));
}

TEST(TDriverController, ReadSamplesWindowRestartsWithEveryPiece) {
  Rig r;
  // Without a closing answer: one window, no repetition.
  r.link.responder = [](test::FakeTransport& t, const TDriverFrame&) {
    t.Answer(test::Piece(Block(), 0, 3));
  };
  std::vector<uint8_t> stream;
  EXPECT_FALSE(r.ctl.ReadSamples(&stream));
  EXPECT_EQ(r.link.sent.size(), 1u);
  EXPECT_EQ(r.Now(), 2001u);
  // 65,535 bytes at line speed take about 6 s: 64 pieces 95 ms apart, the total after them.
  r.link.responder = [](test::FakeTransport& t, const TDriverFrame&) {
    for (size_t i = 0; i < 64; ++i)
      t.Answer(test::Piece(Block(), i * 1024, 1024 - i / 63), 95 * (i + 1));
    t.Answer(TDriverFrame{0x00, 0xFF, 0xFF}, 95 * 64 + 1);
  };
  ASSERT_TRUE(r.ctl.ReadSamples(&stream));
  EXPECT_EQ(stream, std::vector<uint8_t>(Block().begin(), Block().end() - 1));
  // A pause longer than the window between two pieces still ends the fetch.
  r.link.responder = [](test::FakeTransport& t, const TDriverFrame&) {
    t.Answer(test::Piece(Block(), 0, 10), 1500);
    t.Answer(test::Piece(Block(), 10, 10), 3600);
    t.Answer(TDriverFrame{0x00, 0x00, 20}, 3700);
  };
  EXPECT_FALSE(r.ctl.ReadSamples(&stream));
}

TEST(TDriverController, StaleAnswersAreNotTakenForNewOnes) {
  Rig r;
  // A late "finished" of an earlier run: the next run waits for its own answers.
  r.link.Answer(TDriverFrame{0x02, 0x04});
  r.link.responder = [](test::FakeTransport& t, const TDriverFrame&) {
    t.Answer(TDriverFrame{0x02, 0x02}, 5);
    t.Answer(TDriverFrame{0x02, 0x04}, 300);
  };
  EXPECT_TRUE(r.ctl.RunProgram(1000));
  EXPECT_EQ(r.Now(), 300u);
  // A late acknowledgement of an earlier upload, then a mute analyzer: no upload took place.
  r.link.Answer(TDriverFrame{0x00, 0x00, 0x00});
  r.link.Answer(TDriverFrame{0x01});
  r.link.responder = nullptr;
  std::vector<uint8_t> program(100, 0x55);
  EXPECT_FALSE(r.ctl.UploadProgram(program.data(), 100));
  EXPECT_EQ(r.link.sent.size(), 4u);  // the run's start and three attempts of the chunk
  // An old refusal does not fail the next upload.
  r.link.Answer(TDriverFrame{0x01});
  r.link.responder = AcknowledgeUploads;
  EXPECT_TRUE(r.ctl.UploadProgram(program.data(), 100));
}

TEST(TDriverResponse, ReceiveDecodesByDetectorMode) {
  Rig r;
  r.AnswerCodes({{0x03, {"03 00 00 03 00 04 01 20", "00 00 05"}}});
  TDriverResponse response;
  r.ctl.State().Master.Detector = 3;  // anything but 8 is quadrature
  ASSERT_TRUE(response.Receive(&r.ctl));
  ASSERT_EQ(response.Count(), 1);
  EXPECT_EQ(response.Amplitude.Values[0], 5.0f);
  r.ctl.State().Master.Detector = 8;
  ASSERT_TRUE(response.Receive(&r.ctl));
  ASSERT_EQ(response.Count(), 3);
  EXPECT_EQ(response.Real.Values[2], 1.0f);
  r.link.responder = nullptr;
  EXPECT_FALSE(response.Receive(&r.ctl));
  EXPECT_EQ(response.Count(), 3);  // unchanged
  EXPECT_FALSE(response.Receive(nullptr));
}

TEST(TDriverController, ExceptionIsReportedByEachRoutineAndPassedOn) {
  test::ReportCapture reports;
  struct : test::FakeTransport {
    bool Write(const uint8_t*, int32_t) override { throw std::runtime_error("line broke"); }
  } link;
  TDriverController ctl(&link);
  EXPECT_THROW(ctl.Transact(TDriverFrame{0x81}, 0x81), std::runtime_error);
  // SendFrame, then Transact: two reports with different tags.
  ASSERT_EQ(reports.Count(), 2u);
  EXPECT_NE(reports.Messages()[0], reports.Messages()[1]);
  EXPECT_NE(reports.Messages()[0].find("line broke"), std::string::npos);
}

TEST(TDriverController, MissingTransportIsAnIntegrityReportAndAClosedLine) {
  test::ReportCapture reports;
  TDriverController ctl(nullptr);
  EXPECT_EQ(reports.Count(), 1u);
  EXPECT_FALSE(ctl.Transact(TDriverFrame{0x81}, 0x81));
  EXPECT_FALSE(ctl.Handshake());
}

TEST(TDriverController, WaitDoesNotSpinOnTransportsWithoutBlockingWait) {
  platform::VirtualClock clock{0};
  platform::ScopedClock scope(clock);
  // Claims input on every wait but never delivers any, and lets no time pass by itself.
  struct : test::FakeTransport {
    TDriverInputWait WaitInput(uint32_t) override {
      ++waits;
      return TDriverInputWait::Ready;
    }
  } promise;
  TDriverController a(&promise);
  EXPECT_FALSE(a.WaitAnswer(0x02, 100));
  // Each empty wake-up costs a millisecond of sleep, so the wait ends on time.
  EXPECT_GE(promise.waits, 100);
  EXPECT_LE(promise.waits, 102);
  // The base class's wait: short sleeps on the platform clock.
  struct : test::FakeTransport {
    TDriverInputWait WaitInput(uint32_t ms) override { return TDriverHardwareBase::WaitInput(ms); }
  } plain;
  TDriverController b(&plain);
  const uint32_t start = clock.Ticks();
  EXPECT_FALSE(b.WaitAnswer(0x02, 50));
  EXPECT_EQ(clock.Ticks() - start, 51u);
}

}  // namespace
}  // namespace quellar::device
