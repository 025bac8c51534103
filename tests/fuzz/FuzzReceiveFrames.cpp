// The receiver under arbitrary bytes, delivered in pieces of 1 to 32 bytes through a fake
// transport. However the stream is cut, the controller must find exactly the frames that
// one decoder finds in the whole stream, and each must survive a round trip.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "FuzzInput.h"
#include "device/DrvController.h"
#include "device/DrvFrame.h"
#include "device/FakeTransport.h"

using namespace quellar;
using fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Piece sizes come from a generator seeded by the input, so a case replays the same way.
  uint32_t seed = 2166136261u;
  for (size_t i = 0; i < size; ++i) seed = (seed ^ data[i]) * 16777619u;
  seed |= 1;

  test::FakeTransport link;
  device::TDriverController controller(&link);
  for (size_t at = 0; at < size;) {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    const size_t piece = std::min<size_t>(1 + seed % 32, size - at);
    link.Deliver(std::vector<uint8_t>(data + at, data + at + piece));
    controller.ReceiveFrames();
    Require(link.Queued() == 0);
    at += piece;
  }

  device::TDriverFrameDecoder whole;
  device::TDriverFrameList expected;
  whole.Feed(data, size, expected);
  Require(expected.size() == controller.Frames().size());
  auto it = expected.begin();
  for (const auto& frame : controller.Frames()) {
    Require(frame->Size() >= 1);
    Require(**it == *frame);
    ++it;
    device::TDriverFrameDecoder again;
    device::TDriverFrameList back;
    const std::vector<uint8_t> wire = device::EncodeFrame(*frame);
    again.Feed(wire.data(), wire.size(), back);
    Require(back.size() == 1 && *back.front() == *frame);
  }

  // Whatever arrived goes through the answer matching and the state decoders.
  if (!controller.Frames().empty()) {
    const uint8_t code = controller.Frames().front()->Command();
    Require(controller.PollAnswer(code));
    Require(controller.Answer().Command() == code);
    const size_t before = controller.Frames().size();
    controller.ReleaseAnswer();
    Require(controller.Frames().size() == before - 1);
  }
  controller.ProcessFrames();
  Require(controller.Frames().empty());
  return 0;
}
