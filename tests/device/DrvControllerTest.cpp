// Transactions of the device controller against a fake transport on a virtual clock.
#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <tuple>

#include "DeviceTestUtil.h"
#include "FakeTransport.h"
#include "device/DrvController.h"
#include "device/DrvResponse.h"
#include "support/TestSupport.h"

namespace quellar::device {
namespace {

using test::Hex;

// 64 KiB that do not repeat every 256 bytes, so a piece or chunk from the wrong place shows.
const std::vector<uint8_t> kBlock = [] {
  std::vector<uint8_t> b(65536);
  for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return b;
}();

// A controller on a fake line with a virtual clock of its own.
struct Rig {
  explicit Rig(uint32_t at = 0xFFFFFFFFu - 3000) : start(at), clock(at) {}
  uint32_t Now() { return clock.Ticks() - start; }
  // Answers, ";" between them: "CC> FRAME @MS" answers every command with code CC by FRAME,
  // MS milliseconds after it; without "CC>" the frame arrives once, MS after now. The line
  // states "inactive!", "hung up!" and "write fails!" may come among them.
  void Script(const std::string& script) {
    link.active = script.find("inactive!") == std::string::npos;
    link.hungUp = script.find("hung up!") != std::string::npos;
    link.writeResult = script.find("write fails!") == std::string::npos;
    std::vector<std::tuple<int, TDriverFrame, uint32_t>> replies;
    std::istringstream items(script);
    for (std::string item; std::getline(items, item, ';');) {
      if (item.find('!') != std::string::npos) continue;
      const size_t gt = item.find('>'), from = gt == std::string::npos ? 0 : gt + 1;
      const size_t at = std::min(item.find('@'), item.size());
      const TDriverFrame frame = test::Frame(Hex(item.substr(from, at - from)));
      const uint32_t delay = at < item.size() ? std::stoul(item.substr(at + 1)) : 0;
      if (from == 0) link.Answer(frame, delay);
      if (from != 0) replies.emplace_back(std::stoi(item, nullptr, 16), frame, delay);
    }
    link.responder = [replies](test::FakeTransport& t, const TDriverFrame& f) {
      for (const auto& [code, frame, delay] : replies)
        if (code == f.Command()) t.Answer(frame, delay);
    };
  }
  // The first three bytes of each frame sent, "|" after each.
  std::string Sent() {
    std::string out;
    for (const auto& f : link.sent)
      out += test::ToHex({f.Bytes().begin(), f.Bytes().begin() + std::min(f.Size(), 3)}) + "|";
    return out;
  }

  uint32_t start;
  platform::VirtualClock clock;
  platform::ScopedClock scoped{clock};
  test::FakeTransport link{&clock};
  TDriverController ctl{&link};
};

TEST(TDriverController, AnswersComeInArrivalOrderAndStayUntilReleasedOrProcessed) {
  Rig r;
  r.Script("82 01 2C; 02 04; 82 01 2D; 04 41 00 00; 80 4D 00 00; 84> 84 BE EF");
  ASSERT_TRUE(r.ctl.Transact(TDriverFrame{0x84}, 0x84));
  EXPECT_EQ(r.ctl.Answer().Bytes(), Hex("84 BE EF"));
  r.ctl.ReleaseAnswer();
  EXPECT_EQ(r.ctl.Frames().size(), 5u);
  EXPECT_EQ(r.ctl.Answer().Size(), 0);
  // A status frame already queued answers the next transaction at once.
  ASSERT_TRUE(r.ctl.Transact(TDriverFrame{0x04, 0x0A, 0x00}, 0x02));
  EXPECT_EQ(r.Sent(), "84|04 0A 00|");
  EXPECT_EQ(r.Now(), 0u);
  ASSERT_TRUE(r.ctl.PollAnswer(0x82));
  EXPECT_EQ(r.ctl.Answer().Bytes(), Hex("82 01 2C"));
  EXPECT_FALSE(r.ctl.PollAnswer(0x85));
  r.ctl.ProcessFrames();
  r.ctl.ReleaseAnswer();  // its source is gone: the copy survives
  EXPECT_EQ(r.ctl.Answer().Bytes(), Hex("82 01 2C"));
  EXPECT_TRUE(r.ctl.Frames().empty());
  EXPECT_EQ(r.ctl.State().Master.ID + "/" + r.ctl.State().Magnetic.ID, "A/M");
  EXPECT_DOUBLE_EQ(r.ctl.State().Magnetic.SampleTemperature, 30.1);  // the later one last
}

// "lone" (send, wait, poll), "transact" (84), "handshake", "update", "run MS", "upload N", "read".
bool Call(TDriverController& ctl, const std::string& call) {
  std::istringstream in(call);
  std::string name;
  int32_t n = 0;
  in >> name >> n;
  const TDriverFrame frame{0x84};
  std::vector<uint8_t> stream;
  if (name == "lone")
    return ctl.SendFrame(&frame) || ctl.WaitAnswer(0x02, 100) || ctl.PollAnswer(0x02);
  if (name == "transact") return ctl.Transact(frame, 0x84);
  if (name == "run") return ctl.RunProgram(static_cast<uint32_t>(n));
  if (name == "upload") return ctl.UploadProgram(kBlock.data(), n);
  if (name == "read") return ctl.ReadSamples(&stream);
  return name == "handshake" ? ctl.Handshake() : ctl.UpdateState();
}

TEST(TDriverController, RoutinesAgainstScriptedAnswers) {
  const struct {
    const char* call;
    const char* script;
    bool ok;
    const char* sent;
    uint32_t now;
    size_t left;  // frames left: a rejected answer is not released
  } cases[] = {
      // Two seconds for each of three attempts; an answer after them is not taken.
      {"transact", "84> 84 12 34 @2000", true, "84|", 2000, 1},
      {"transact", "84> 84 12 34 @2001", true, "84|84|", 2001, 1},
      {"transact", "84> 84 12 34 @6003", false, "84|84|84|", 6003, 0},
      {"transact", "hung up!", false, "84|84|84|", 0, 0},
      {"transact", "write fails!", false, "84|", 0, 0},
      {"lone", "inactive!; 02 02", false, "", 0, 0},
      {"upload 0", "inactive!; 02 02", false, "", 0, 0},
      {"handshake", "02> 02 02; 00> 04 41 00 00; 80> 80 4D 00 00", true, "02 01|00|80|", 0, 0},
      {"handshake", "02> 02 02", false, "02 01|00|00|00|", 6003, 1},
      {"update", "81> 81 00 FA; 82> 82 80 00; 83> 83 20 01 00 02 00 03 00; 84> 84 BE EF", true,
       "81|82|83|84|", 0, 0},
      {"update", "81> 81 01 00; 82> 82 01 2C", false, "81|82|83|83|83|", 6003, 2},
      // A run: "started", then "finished"; whatever else came is processed at the end.
      {"run 10000", "02> 02 02 @10; 02 04 @7000; 83 05 00 00 00 00 00 00", true, "02 00|", 7000, 0},
      {"run 1000", "02> 02 02 @1; 02> 02 02 @20; 02> 02 04 @50", true, "02 00|", 50, 0},
      {"run 1000", "02> 02 04 @1; 02> 02 04 @50", false, "02 00|", 1, 1},
      {"run 1000", "02> 02 @1; 02> 02 04 @50", false, "02 00|", 1, 1},
      {"run 1000", "02> 02 02 @1; 02> 02 03 @50", false, "02 00|", 50, 1},
      {"run 1000", "02> 02 02 @1", false, "02 00|", 1002, 0},
      // Fixed fault: a late "finished" of an earlier run was taken for this run's.
      {"run 1000", "02 04; 02> 02 02 @5; 02> 02 04 @300", true, "02 00|", 300, 0},
      // Uploads: a refusal (01) after the chunks fails, one queued before them is old.
      {"upload 0", "", true, "", 0, 0},
      {"upload 0", "01", false, "", 0, 1},
      {"upload 1500", "01> 00 00 01", false, "01 00 00|", 0, 1},
      {"upload 100", "01> 00 00 00 @5; 01> 01 @1", false, "01 00 00|", 5, 1},
      {"upload 100", "01; 01> 00 00 00 @5", true, "01 00 00|", 5, 0},
      // Fixed fault: a late acknowledgement of an earlier upload acknowledged this one.
      {"upload 100", "00 00 00", false, "01 00 00|01 00 00|01 00 00|", 6003, 0},
      // A block: its pieces in order, then the total; the window restarts with every piece.
      // Fixed fault: pieces and total of an earlier, failed fetch were taken for this one's.
      {"read", "03> 03 00 00 01; 03> 03 00 02 03; 03> 00 00 02", false, "03|", 0, 3},
      {"read", "03 00 00 AA BB CC; 00 00 01; 03> 03 00 00 01 02; 03> 00 00 02", true, "03|", 0, 0},
      {"read", "03> 03 00 00 01 02 03", false, "03|", 2001, 1},
      {"read", "03> 03 00 00 01 @1500; 03> 03 00 01 02 @3400; 03> 00 00 02 @3500", true, "03|",
       3500, 0},
      {"read", "03> 03 00 00 01 @1500; 03> 03 00 01 02 @3600; 03> 00 00 02 @3700", false, "03|",
       3501, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.call) + ": " + c.script);
    Rig r;
    r.Script(c.script);
    EXPECT_EQ(Call(r.ctl, c.call), c.ok);
    EXPECT_EQ(r.Sent(), c.sent);
    EXPECT_EQ(r.Now(), c.now);
    EXPECT_EQ(r.ctl.Frames().size(), c.left);
  }
}

TEST(TDriverController, UploadSendsAcknowledgedChunksOf1024WithSixteenBitOffsets) {
  Rig r;
  r.link.responder = [](test::FakeTransport& t, const TDriverFrame& f) {
    t.Answer(TDriverFrame{0x00, f[1], f[2]}, 5);  // each chunk acknowledged with its offset
  };
  ASSERT_TRUE(r.ctl.UploadProgram(kBlock.data(), 2500));
  std::vector<uint8_t> joined;
  for (const auto& f : r.link.sent) {
    EXPECT_EQ(f.Word(1), joined.size());
    joined.insert(joined.end(), f.Bytes().begin() + 3, f.Bytes().end());
  }
  EXPECT_EQ(r.link.sent.size(), 3u);
  EXPECT_EQ(joined, std::vector<uint8_t>(kBlock.begin(), kBlock.begin() + 2500));
  EXPECT_TRUE(r.ctl.Frames().empty());
  r.link.sent.clear();
  EXPECT_FALSE(r.ctl.UploadProgram(kBlock.data(), 65537));
  EXPECT_FALSE(r.ctl.UploadProgram(kBlock.data(), -1));
  EXPECT_FALSE(r.ctl.UploadProgram(nullptr, 10));
  EXPECT_TRUE(r.link.sent.empty());
  ASSERT_TRUE(r.ctl.UploadProgram(kBlock.data(), 65536));
  ASSERT_EQ(r.link.sent.size(), 64u);
  EXPECT_EQ(r.link.sent.back().Word(1), 0xFC00);
}

TEST(TDriverResponse, ReceiveDecodesByDetectorMode) {
  Rig r;
  r.Script("03> 03 00 00 03 00 04 01 20; 03> 00 00 05");
  TDriverResponse response;
  r.ctl.State().Master.Detector = 3;  // anything but 8 is quadrature
  ASSERT_TRUE(response.Receive(&r.ctl));
  EXPECT_EQ(response.Amplitude.Values, std::vector<float>{5});
  r.ctl.State().Master.Detector = 8;
  ASSERT_TRUE(response.Receive(&r.ctl));
  EXPECT_EQ(response.Real.Values, (std::vector<float>{3, 4, 1}));
  r.link.responder = nullptr;
  EXPECT_FALSE(response.Receive(&r.ctl));
  EXPECT_FALSE(response.Receive(nullptr));
}

TEST(TDriverController, FaultsAreReportedByEachRoutineAndPassedOn) {
  test::ReportCapture reports;
  struct : test::FakeTransport {
    bool Write(const uint8_t*, int32_t) override { throw std::runtime_error("line broke"); }
  } link;
  TDriverController ctl(&link);
  EXPECT_THROW(ctl.Transact(TDriverFrame{0x81}, 0x81), std::runtime_error);
  ASSERT_EQ(reports.Count(), 2u);  // by SendFrame, then by Transact
  // A missing transport is an integrity report and a closed line.
  TDriverController none(nullptr);
  EXPECT_EQ(reports.Count(), 3u);
  EXPECT_FALSE(none.Handshake());
}

TEST(TDriverController, WaitsBlockOncePerAttemptAndNeverSpin) {
  Rig r;
  EXPECT_FALSE(r.ctl.Transact(TDriverFrame{0x84}, 0x84));
  EXPECT_EQ(r.link.waits, 3);  // one blocking wait per attempt, not a poll loop
  // A transport that claims input on every wait but never delivers any, and lets no time pass
  // by itself: each empty wake-up costs a millisecond of sleep, so the wait ends on time.
  struct : test::FakeTransport {
    TDriverInputWait WaitInput(uint32_t) override {
      ++waits;
      return TDriverInputWait::Ready;
    }
  } promise;
  TDriverController a(&promise);
  EXPECT_FALSE(a.WaitAnswer(0x02, 100));
  EXPECT_GE(promise.waits, 100);
  EXPECT_LE(promise.waits, 102);
  // The base class's wait: short sleeps on the platform clock.
  struct : test::FakeTransport {
    TDriverInputWait WaitInput(uint32_t ms) override { return TDriverHardwareBase::WaitInput(ms); }
  } plain;
  TDriverController b(&plain);
  EXPECT_FALSE(b.WaitAnswer(0x02, 50));
  EXPECT_EQ(r.Now(), 6003u + 101 + 51);
}

}  // namespace
}  // namespace quellar::device
