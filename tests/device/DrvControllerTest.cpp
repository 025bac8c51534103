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

class DriverControllerTest : public ::testing::Test {
 protected:
  uint32_t Now() { return clock.Ticks() - kStart; }
  // Answers each command code with the listed frames at once.
  void AnswerCodes(std::map<uint8_t, std::vector<std::vector<uint8_t>>> answers) {
    link.responder = [answers](test::FakeTransport& t, const TDriverFrame& f) {
      auto it = answers.find(f.Command());
      if (it == answers.end()) return;
      for (const auto& a : it->second) t.Answer(test::Frame(a));
    };
  }
  std::vector<uint8_t> AllWritten() {
    std::vector<uint8_t> all;
    for (const auto& w : link.writes) all.insert(all.end(), w.begin(), w.end());
    return all;
  }

  platform::VirtualClock clock{kStart};
  platform::ScopedClock scoped{clock};
  test::FakeTransport link{&clock};
  TDriverController ctl{&link};
};

TEST_F(DriverControllerTest, TransactAnsweredAtOnceLeavesAnswerUntilReleased) {
  AnswerCodes({{0x81, {Hex("81 01 2C")}}});
  ASSERT_TRUE(ctl.Transact(TDriverFrame{0x81}, 0x81));
  EXPECT_EQ(link.writes.size(), 1u);
  EXPECT_EQ(ToHex(link.writes[0]), "C0 81 F9 65 C1");
  EXPECT_EQ(ctl.Answer().Bytes(), Hex("81 01 2C"));
  EXPECT_EQ(ctl.Frames().size(), 1u);
  EXPECT_EQ(Now(), 0u);
  ctl.ReleaseAnswer();
  EXPECT_TRUE(ctl.Frames().empty());
  EXPECT_EQ(ctl.Answer().Size(), 0);
  ctl.ReleaseAnswer();  // nothing to release: no effect
  EXPECT_TRUE(ctl.Frames().empty());
}

TEST_F(DriverControllerTest, UnansweredTransactSendsSameFrameThreeTimesOverSixSeconds) {
  const TDriverFrame frame{0x93, 1, 2, 3, 4, 5, 6, 7};
  EXPECT_FALSE(ctl.Transact(frame, 0x90));
  ASSERT_EQ(link.sent.size(), 3u);
  for (const auto& f : link.sent) EXPECT_EQ(f, frame);
  EXPECT_EQ(link.writes[0], link.writes[1]);
  EXPECT_EQ(link.writes[1], link.writes[2]);
  EXPECT_EQ(link.sentAt[1] - link.sentAt[0], 2001u);
  EXPECT_EQ(link.sentAt[2] - link.sentAt[1], 2001u);
  EXPECT_GE(Now(), 6000u);
  EXPECT_LE(Now(), 6010u);
  // One blocking wait per attempt, not a poll loop.
  EXPECT_EQ(link.waits, 3);
}

TEST_F(DriverControllerTest, TimeOutsSurviveWrapOfTheTickCounter) {
  platform::VirtualClock nearWrap{0xFFFFFFFFu - 3000};
  platform::ScopedClock scope(nearWrap);
  test::FakeTransport l(&nearWrap);
  TDriverController c(&l);
  EXPECT_FALSE(c.Transact(TDriverFrame{0x80}, 0x80));
  EXPECT_EQ(l.sent.size(), 3u);
  EXPECT_EQ(static_cast<uint32_t>(nearWrap.Ticks() - (0xFFFFFFFFu - 3000)), 6003u);
}

TEST_F(DriverControllerTest, AnswerTimingAgainstTheTwoSecondAttempt) {
  const struct {
    uint32_t delay;
    size_t sends;
  } cases[] = {{0, 1}, {1999, 1}, {2000, 1}, {2001, 2}, {2500, 2}, {4500, 3}, {6003, 0}};
  for (const auto& c : cases) {
    platform::VirtualClock vc{kStart};
    platform::ScopedClock scope(vc);
    test::FakeTransport l(&vc);
    TDriverController t(&l);
    bool first = true;
    l.responder = [&](test::FakeTransport& tr, const TDriverFrame&) {
      if (first) tr.Answer(TDriverFrame{0x84, 0x12, 0x34}, c.delay);
      first = false;
    };
    const bool ok = t.Transact(TDriverFrame{0x84}, 0x84);
    EXPECT_EQ(ok, c.sends != 0) << c.delay;
    EXPECT_EQ(l.sent.size(), c.sends ? c.sends : 3u) << c.delay;
    if (c.sends == 0) {
      // Too late for every attempt: it waits in Frames for whoever wants it.
      EXPECT_EQ(t.Frames().size(), 0u);
      t.ReceiveFrames();
      EXPECT_EQ(t.Frames().size(), 1u);
    }
  }
}

TEST_F(DriverControllerTest, LateAnswersOfEarlierAttemptsStayInFrames) {
  // Every attempt is answered 2,500 ms late: the first answer satisfies attempt two.
  link.responder = [](test::FakeTransport& t, const TDriverFrame&) {
    t.Answer(TDriverFrame{0x90}, 2500);
  };
  ASSERT_TRUE(ctl.Transact(TDriverFrame{0x92, 0x01, 0x72}, 0x90));
  EXPECT_EQ(link.sent.size(), 2u);
  ctl.ReleaseAnswer();
  clock.Advance(5000);
  ctl.ReceiveFrames();
  EXPECT_EQ(ctl.Frames().size(), 1u);  // the late answer to attempt two
}

TEST_F(DriverControllerTest, StrayStatusSatisfiesNextTransactAtOnce) {
  link.Answer(TDriverFrame{0x02, 0x04});
  ASSERT_TRUE(ctl.Transact(TDriverFrame{0x04, 0x0A, 0x00}, 0x02));
  EXPECT_EQ(link.sent.size(), 1u);
  EXPECT_EQ(Now(), 0u);
  EXPECT_EQ(ctl.Answer().Bytes(), Hex("02 04"));
}

TEST_F(DriverControllerTest, FirstMatchingFrameInArrivalOrderWins) {
  link.Deliver(EncodeFrame(TDriverFrame{0x81, 0, 1}));
  link.Deliver(EncodeFrame(TDriverFrame{0x82, 0, 2}));
  link.Deliver(EncodeFrame(TDriverFrame{0x82, 0, 3}));
  ASSERT_TRUE(ctl.PollAnswer(0x82));
  EXPECT_EQ(ctl.Answer().Bytes(), Hex("82 00 02"));
  ctl.ReleaseAnswer();
  ASSERT_TRUE(ctl.PollAnswer(0x82));
  EXPECT_EQ(ctl.Answer().Bytes(), Hex("82 00 03"));
  EXPECT_FALSE(ctl.PollAnswer(0x83));
}

TEST_F(DriverControllerTest, WriteFailureEndsTransactAtOnce) {
  link.writeResult = false;
  EXPECT_FALSE(ctl.Transact(TDriverFrame{0x81}, 0x81));
  EXPECT_EQ(link.writes.size(), 1u);
  EXPECT_EQ(link.waits, 0);
  EXPECT_EQ(Now(), 0u);
}

TEST_F(DriverControllerTest, HungUpLineEndsWaitWithoutWaitingOut) {
  link.hungUp = true;
  EXPECT_FALSE(ctl.WaitAnswer(0x02, 60000));
  EXPECT_EQ(Now(), 0u);
  EXPECT_FALSE(ctl.Transact(TDriverFrame{0x80}, 0x80));
  EXPECT_EQ(link.sent.size(), 3u);
  EXPECT_EQ(Now(), 0u);
}

TEST_F(DriverControllerTest, InactiveLineTouchesNothing) {
  link.active = false;
  link.Answer(TDriverFrame{0x02, 0x02});
  std::vector<uint8_t> stream;
  const uint8_t code[] = {1, 2, 3};
  EXPECT_FALSE(ctl.SendFrame(nullptr));
  const TDriverFrame f{0x81};
  EXPECT_FALSE(ctl.SendFrame(&f));
  EXPECT_FALSE(ctl.Transact(f, 0x81));
  EXPECT_FALSE(ctl.WaitAnswer(0x02, 100));
  EXPECT_FALSE(ctl.Handshake());
  EXPECT_FALSE(ctl.UpdateState());
  EXPECT_FALSE(ctl.UploadProgram(code, 3));
  EXPECT_FALSE(ctl.UploadProgram(code, 0));
  EXPECT_FALSE(ctl.RunProgram(100));
  EXPECT_FALSE(ctl.ReadSamples(&stream));
  ctl.ReceiveFrames();
  EXPECT_TRUE(link.writes.empty());
  EXPECT_EQ(link.reads, 0);
  EXPECT_EQ(Now(), 0u);
}

TEST_F(DriverControllerTest, HandshakePutsTheOpenSequenceOnTheWire) {
  AnswerCodes({{0x02, {Hex("02 02")}},
               {0x00, {Hex("04 51 4D 00 31 2E 30 00 00")}},
               {0x80, {Hex("80 4D 41 47 00 00")}},
               {0x81, {Hex("81 00 FA")}},
               {0x82, {Hex("82 80 00")}},
               {0x83, {Hex("83 20 01 00 02 00 03 00")}},
               {0x84, {Hex("84 BE EF")}}});
  ASSERT_TRUE(ctl.Handshake());
  ASSERT_TRUE(ctl.UpdateState());
  EXPECT_EQ(ToHex(AllWritten()),
            "C0 02 01 7E 2D C1 C0 00 78 F0 C1 C0 80 70 74 C1 C0 81 F9 65 C1 "
            "C0 82 62 57 C1 C0 83 EB 46 C1 C0 84 54 32 C1");
  const auto& s = ctl.State();
  EXPECT_EQ(s.Master.ID, "QM/1.0");
  EXPECT_EQ(s.Magnetic.ID, "MAG");
  EXPECT_DOUBLE_EQ(s.Magnetic.SystemTemperature, 25.0);
  EXPECT_DOUBLE_EQ(s.Magnetic.SampleTemperature, 0.0);
  EXPECT_EQ(s.Magnetic.Nitrogen, 0x20);
  EXPECT_EQ(s.Magnetic.BiasRoughly, 0x010);
  EXPECT_EQ(s.Magnetic.BiasPrecise, 0x020);
  EXPECT_EQ(s.Magnetic.Gain, 0x030);
  EXPECT_EQ(s.Magnetic.AuxWord, 0xBEEF);
  EXPECT_TRUE(ctl.Frames().empty());
  EXPECT_EQ(Now(), 0u);
}

TEST_F(DriverControllerTest, HandshakeStopsAtFirstFailedStepAndKeepsFrames) {
  AnswerCodes({{0x02, {Hex("02 02")}}});
  EXPECT_FALSE(ctl.Handshake());
  ASSERT_EQ(link.sent.size(), 4u);  // the control command, then [00] three times
  EXPECT_EQ(link.sent[3], TDriverFrame{0x00});
  EXPECT_EQ(ctl.Frames().size(), 1u);  // the status answer, not processed
}

TEST_F(DriverControllerTest, UpdateStateStopsAtFirstFailedStep) {
  AnswerCodes({{0x81, {Hex("81 01 00")}}, {0x82, {Hex("82 01 2C")}}});
  EXPECT_FALSE(ctl.UpdateState());
  EXPECT_EQ(link.sent.size(), 2u + 3u);
  EXPECT_DOUBLE_EQ(ctl.State().Magnetic.SampleTemperature, 0.0);  // not yet processed
  ctl.ProcessFrames();
  EXPECT_DOUBLE_EQ(ctl.State().Magnetic.SampleTemperature, 30.0);
  EXPECT_DOUBLE_EQ(ctl.State().Magnetic.SystemTemperature, 25.6);
}

TEST_F(DriverControllerTest, ProcessFramesAppliesInArrivalOrderAndDropsAll) {
  for (const char* f : {"82 01 2C", "55 01", "82 01 2D", "04 41 00 00", "90"}) {
    link.Deliver(EncodeFrame(test::Frame(Hex(f))));
  }
  ASSERT_TRUE(ctl.PollAnswer(0x55));
  ctl.ProcessFrames();
  EXPECT_TRUE(ctl.Frames().empty());
  EXPECT_DOUBLE_EQ(ctl.State().Magnetic.SampleTemperature, 30.1);
  EXPECT_EQ(ctl.State().Master.ID, "A");
  EXPECT_EQ(ctl.Answer().Bytes(), Hex("55 01"));  // the copy survives
  ctl.ReleaseAnswer();                            // its source is gone: nothing happens
  EXPECT_EQ(ctl.Answer().Bytes(), Hex("55 01"));
}

// Acknowledges each chunk with its offset.
void AcknowledgeUploads(test::FakeTransport& t, const TDriverFrame& f) {
  if (f.Command() == 0x01 && f.Size() >= 3) t.Answer(TDriverFrame{0x00, f[1], f[2]}, 5);
}

TEST_F(DriverControllerTest, UploadSendsAcknowledgedChunksOf1024) {
  link.responder = AcknowledgeUploads;
  std::vector<uint8_t> program(2500);
  for (size_t i = 0; i < program.size(); ++i) program[i] = static_cast<uint8_t>(i * 7);
  ASSERT_TRUE(ctl.UploadProgram(program.data(), 2500));
  ASSERT_EQ(link.sent.size(), 3u);
  const struct {
    uint16_t offset;
    size_t payload;
  } chunks[] = {{0, 1024}, {1024, 1024}, {2048, 452}};
  for (size_t i = 0; i < 3; ++i) {
    const auto& f = link.sent[i];
    EXPECT_EQ(f.Command(), 0x01);
    EXPECT_EQ(f.Word(1), chunks[i].offset);
    ASSERT_EQ(static_cast<size_t>(f.Size()), chunks[i].payload + 3);
    EXPECT_TRUE(std::equal(f.Data() + 3, f.Data() + f.Size(), program.begin() + chunks[i].offset));
  }
  EXPECT_TRUE(ctl.Frames().empty());
}

TEST_F(DriverControllerTest, UploadOfNothingChecksOnlyForRefusal) {
  EXPECT_TRUE(ctl.UploadProgram(nullptr, 0));
  EXPECT_TRUE(link.writes.empty());
  link.Answer(TDriverFrame{0x01});
  EXPECT_FALSE(ctl.UploadProgram(nullptr, 0));
  EXPECT_EQ(ctl.Answer().Command(), 0x01);
  EXPECT_EQ(ctl.Frames().size(), 1u);
}

TEST_F(DriverControllerTest, UploadFailsOnWrongEchoOrRefusal) {
  link.responder = [](test::FakeTransport& t, const TDriverFrame&) {
    t.Answer(TDriverFrame{0x00, 0x00, 0x01});
  };
  std::vector<uint8_t> program(1500, 0xAA);
  EXPECT_FALSE(ctl.UploadProgram(program.data(), 1500));
  EXPECT_EQ(link.sent.size(), 1u);
  EXPECT_EQ(ctl.Frames().size(), 1u);  // the wrong acknowledgement stays
  ctl.ProcessFrames();

  link.sent.clear();
  link.responder = [](test::FakeTransport& t, const TDriverFrame& f) {
    AcknowledgeUploads(t, f);
    if (f.Word(1) == 1024) t.Answer(TDriverFrame{0x01}, 1);
  };
  EXPECT_FALSE(ctl.UploadProgram(program.data(), 1500));
  EXPECT_EQ(link.sent.size(), 2u);
  EXPECT_EQ(ctl.Answer().Command(), 0x01);
}

TEST_F(DriverControllerTest, UploadRefusesWhatSixteenBitOffsetsCannotAddress) {
  link.responder = AcknowledgeUploads;
  std::vector<uint8_t> program(65537, 0x11);
  EXPECT_FALSE(ctl.UploadProgram(program.data(), 65537));
  EXPECT_FALSE(ctl.UploadProgram(program.data(), -1));
  EXPECT_FALSE(ctl.UploadProgram(nullptr, 10));
  EXPECT_TRUE(link.writes.empty());
  ASSERT_TRUE(ctl.UploadProgram(program.data(), 65536));
  ASSERT_EQ(link.sent.size(), 64u);
  EXPECT_EQ(link.sent.back().Word(1), 0xFC00);
}

TEST_F(DriverControllerTest, RunProgramWaitsForFinishedStatus) {
  link.responder = [](test::FakeTransport& t, const TDriverFrame& f) {
    if (f.Bytes() == Hex("02 00")) {
      t.Answer(TDriverFrame{0x02, 0x02}, 10);
      t.Answer(TDriverFrame{0x02, 0x04}, 7000);
    }
  };
  link.Answer(TDriverFrame{0x83, 0x05, 0, 0, 0, 0, 0, 0});  // processed at the end
  ASSERT_TRUE(ctl.RunProgram(10000));
  EXPECT_EQ(link.sent.size(), 1u);
  EXPECT_EQ(ToHex(link.writes[0]), "C0 02 00 F7 3C C1");
  EXPECT_EQ(Now(), 7000u);
  EXPECT_TRUE(ctl.Frames().empty());
  EXPECT_EQ(ctl.State().Magnetic.Nitrogen, 5);
}

TEST_F(DriverControllerTest, RunProgramFailures) {
  const struct {
    const char* first;
    const char* second;
    uint32_t timeout;
    bool answerLeft;  // the rejected answer stays unreleased
  } cases[] = {
      {"02 04", "02 04", 1000, true},  // finished where started was expected
      {"02", "02 04", 1000, true},     // status byte missing
      {"02 02", "02 03", 1000, true},  // wrong final status
      {"02 02", "", 1000, false},      // never finishes
  };
  for (const auto& c : cases) {
    platform::VirtualClock vc{kStart};
    platform::ScopedClock scope(vc);
    test::FakeTransport l(&vc);
    TDriverController t(&l);
    l.responder = [&](test::FakeTransport& tr, const TDriverFrame&) {
      tr.Answer(test::Frame(Hex(c.first)), 1);
      if (*c.second) tr.Answer(test::Frame(Hex(c.second)), 50);
    };
    EXPECT_FALSE(t.RunProgram(c.timeout)) << c.first << " / " << c.second;
    EXPECT_EQ(t.Frames().empty(), !c.answerLeft) << c.first;
    EXPECT_LE(vc.Ticks() - kStart, 1002u + c.timeout);
  }
}

TDriverFrame Piece(uint16_t offset, size_t n, uint8_t fill) {
  TDriverFrame f;
  f.Resize(static_cast<int32_t>(n + 3));
  f[0] = 0x03;
  f.SetWord(1, offset);
  for (size_t i = 0; i < n; ++i) f[3 + i] = static_cast<uint8_t>(fill + i);
  return f;
}

TEST_F(DriverControllerTest, ReadSamplesJoinsPiecesInOrder) {
  link.responder = [](test::FakeTransport& t, const TDriverFrame& f) {
    if (f.Command() != 0x03) return;
    t.Answer(Piece(0, 100, 0), 3);
    t.Answer(Piece(100, 100, 100), 6);
    t.Answer(Piece(200, 100, 200), 9);
    t.Answer(TDriverFrame{0x00, 0x01, 0x2C}, 12);
  };
  std::vector<uint8_t> stream{9, 9, 9};
  ASSERT_TRUE(ctl.ReadSamples(&stream));
  ASSERT_EQ(stream.size(), 300u);
  for (size_t i = 0; i < 300; ++i) ASSERT_EQ(stream[i], static_cast<uint8_t>(i)) << i;
  EXPECT_EQ(ToHex(link.writes[0]), "C0 03 E3 C2 C1");
  EXPECT_TRUE(ctl.Frames().empty());
  EXPECT_FALSE(ctl.ReadSamples(nullptr));
}

TEST_F(DriverControllerTest, ReadSamplesWithMissingPieceFailsAndRetryIsClean) {
  int request = 0;
  link.responder = [&](test::FakeTransport& t, const TDriverFrame& f) {
    if (f.Command() != 0x03) return;
    ++request;
    const uint8_t fill = request == 1 ? 0x80 : 0;
    t.Answer(Piece(0, 100, fill), 3);
    if (request > 1) t.Answer(Piece(100, 100, 100), 6);
    t.Answer(Piece(200, 100, 200), 9);
    t.Answer(TDriverFrame{0x00, 0x01, 0x2C}, 12);
  };
  std::vector<uint8_t> stream;
  EXPECT_FALSE(ctl.ReadSamples(&stream));
  EXPECT_EQ(stream.size(), 100u);      // piece 200 skipped after the gap
  EXPECT_EQ(ctl.Frames().size(), 3u);  // everything left in place
  // The retry must not take the first fetch's pieces for its own.
  ASSERT_TRUE(ctl.ReadSamples(&stream));
  ASSERT_EQ(stream.size(), 300u);
  EXPECT_EQ(stream[0], 0);
  EXPECT_EQ(stream[299], static_cast<uint8_t>(299));
}

TEST_F(DriverControllerTest, ReadSamplesWithoutClosingAnswerTimesOut) {
  link.responder = [](test::FakeTransport& t, const TDriverFrame&) { t.Answer(Piece(0, 3, 1)); };
  std::vector<uint8_t> stream;
  EXPECT_FALSE(ctl.ReadSamples(&stream));
  EXPECT_EQ(link.sent.size(), 1u);  // no repetition
  EXPECT_GE(Now(), 2000u);
  EXPECT_LE(Now(), 2002u);
}

TEST_F(DriverControllerTest, ReadSamplesWaitsAsLongAsPiecesKeepComing) {
  // 65,535 bytes at line speed take about 6 s: 64 pieces 95 ms apart, the total after them.
  link.responder = [](test::FakeTransport& t, const TDriverFrame& f) {
    if (f.Command() != 0x03) return;
    for (uint16_t i = 0; i < 64; ++i)
      t.Answer(Piece(i * 1024, i == 63 ? 1023 : 1024, 0), 95 * (i + 1));
    t.Answer(TDriverFrame{0x00, 0xFF, 0xFF}, 95 * 64 + 1);
  };
  std::vector<uint8_t> stream;
  ASSERT_TRUE(ctl.ReadSamples(&stream));
  EXPECT_EQ(stream.size(), 65535u);
  EXPECT_GT(Now(), 6000u);
  // A pause longer than the window between two pieces still ends the fetch.
  link.responder = [](test::FakeTransport& t, const TDriverFrame& f) {
    if (f.Command() != 0x03) return;
    t.Answer(Piece(0, 10, 0), 1500);
    t.Answer(Piece(10, 10, 0), 3600);
    t.Answer(TDriverFrame{0x00, 0x00, 20}, 3700);
  };
  EXPECT_FALSE(ctl.ReadSamples(&stream));
}

TEST_F(DriverControllerTest, StaleAnswersAreNotTakenForNewOnes) {
  // A late "finished" of an earlier run: the next run waits for its own answers.
  link.Answer(TDriverFrame{0x02, 0x04});
  link.responder = [](test::FakeTransport& t, const TDriverFrame& f) {
    if (f.Bytes() != Hex("02 00")) return;
    t.Answer(TDriverFrame{0x02, 0x02}, 5);
    t.Answer(TDriverFrame{0x02, 0x04}, 300);
  };
  EXPECT_TRUE(ctl.RunProgram(1000));
  EXPECT_EQ(Now(), 300u);
  // A late acknowledgement of an earlier upload, then a mute analyzer: no upload took place.
  link.Answer(TDriverFrame{0x00, 0x00, 0x00});
  link.Answer(TDriverFrame{0x01});
  link.responder = nullptr;
  std::vector<uint8_t> program(100, 0x55);
  EXPECT_FALSE(ctl.UploadProgram(program.data(), 100));
  EXPECT_EQ(link.sent.size(), 4u);  // the run's start and three attempts of the chunk
  // An old refusal does not fail the next upload.
  link.Answer(TDriverFrame{0x01});
  link.responder = AcknowledgeUploads;
  EXPECT_TRUE(ctl.UploadProgram(program.data(), 100));
}

TEST_F(DriverControllerTest, ReceiveDecodesByDetectorMode) {
  link.responder = [](test::FakeTransport& t, const TDriverFrame& f) {
    if (f.Command() != 0x03) return;
    t.Answer(TDriverFrame{0x03, 0x00, 0x00, 0x03, 0x00, 0x04, 0x01, 0x20});
    t.Answer(TDriverFrame{0x00, 0x00, 0x05});
  };
  TDriverResponse r;
  ctl.State().Master.Detector = 3;  // anything but 8 is quadrature
  ASSERT_TRUE(r.Receive(&ctl));
  ASSERT_EQ(r.Count(), 1);
  EXPECT_EQ(r.Amplitude.Values[0], 5.0f);
  ctl.State().Master.Detector = 8;
  ASSERT_TRUE(r.Receive(&ctl));
  ASSERT_EQ(r.Count(), 3);
  EXPECT_EQ(r.Real.Values[0], 3.0f);
  EXPECT_EQ(r.Real.Values[1], 4.0f);
  EXPECT_EQ(r.Real.Values[2], 1.0f);
  EXPECT_EQ(r.Imaginary.Values[2], 0.0f);

  link.responder = nullptr;
  EXPECT_FALSE(r.Receive(&ctl));
  EXPECT_EQ(r.Count(), 3);  // unchanged
  EXPECT_FALSE(r.Receive(nullptr));

  link.responder = [](test::FakeTransport& t, const TDriverFrame&) {
    t.Answer(TDriverFrame{0x00, 0x00, 0x00});
  };
  ASSERT_TRUE(r.Receive(&ctl));
  EXPECT_EQ(r.Count(), 0);
}

class ThrowingTransport : public test::FakeTransport {
 public:
  bool Write(const uint8_t*, int32_t) override { throw std::runtime_error("line broke"); }
};

TEST(TDriverController, ExceptionIsReportedByEachRoutineAndPassedOn) {
  test::ReportCapture reports;
  ThrowingTransport link;
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

// Claims input on every wait but never delivers any, and lets no time pass by itself.
class EmptyPromiseTransport : public test::FakeTransport {
 public:
  TDriverInputWait WaitInput(uint32_t) override {
    ++waits;
    return TDriverInputWait::Ready;
  }
};

// Uses the base class's wait: short sleeps on the platform clock.
class PlainTransport : public TDriverHardwareBase {
 public:
  bool Active() override { return true; }
  void Purge() override {}
  int32_t Read(uint8_t*, int32_t) override { return 0; }
  bool Write(const uint8_t*, int32_t) override { return true; }
  bool Open(const std::string&) override { return true; }
  void Close() override {}
};

TEST(TDriverController, WaitDoesNotSpinOnTransportsWithoutBlockingWait) {
  platform::VirtualClock clock{0};
  platform::ScopedClock scope(clock);
  EmptyPromiseTransport promise;
  TDriverController a(&promise);
  EXPECT_FALSE(a.WaitAnswer(0x02, 100));
  // Each empty wake-up costs a millisecond of sleep, so the wait ends on time.
  EXPECT_GE(promise.waits, 100);
  EXPECT_LE(promise.waits, 102);

  PlainTransport plain;
  TDriverController b(&plain);
  const uint32_t start = clock.Ticks();
  EXPECT_FALSE(b.WaitAnswer(0x02, 50));
  EXPECT_EQ(clock.Ticks() - start, 51u);
}

TEST(TDriverFrame, NegativeSizeIsReportedAndRaised) {
  test::ReportCapture reports;
  TDriverFrame f{1, 2};
  EXPECT_THROW(f.Resize(-1), EListError);
  EXPECT_EQ(reports.Count(), 1u);
  EXPECT_THROW(f.AssignCommand(nullptr, -2), EListError);
  EXPECT_EQ(reports.Count(), 2u);
  EXPECT_EQ(f.Size(), 2);
}

}  // namespace
}  // namespace quellar::device
