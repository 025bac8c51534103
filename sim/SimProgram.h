#pragma once
// The virtual analyzer's own reading of program code, written from the code's description and
// independent of the library's compiler. Each byte holds its control lines for the length of
// its delay class; 0xFF ends the code.
//   bit 7 = 0: impulse window (transmitter gated on, receiver blanked)
//   bit 3 = 0: radio frequency on, only inside the window; bits 6-5 its phase (0, 90, 180, 270)
//   bit 4 = 0: sampling strobe, only outside the window; one sample at the start of each run
//   bits 2-0: delay class 0..6 (100, 500, 5000, 50000, 500000, 5000000, 500000000 ns)
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quellar::sim {

// Longest program code the analyzer takes, end mark included.
constexpr size_t kSimMaxCode = 32767;
constexpr uint8_t kSimEndMark = 0xFF;

struct TSimImpulse {
  int64_t Start;     // ns from the program's start
  int64_t Duration;  // ns
  uint8_t Phase;     // 0..3 for 0, 90, 180, 270 degrees
};

class TSimProgram {
 public:
  // Reads code; false (with the reason and the byte offset) when the analyzer must refuse it:
  // empty, longer than kSimMaxCode, no end mark at the end, delay class 7 before it, radio
  // frequency outside the impulse window or a strobe inside it.
  bool Decode(const uint8_t* code, size_t size);

  bool Valid() const { return valid_; }
  const std::string& Error() const { return error_; }
  size_t ErrorOffset() const { return errorOffset_; }
  // Running time: the sum of the delays of all bytes before the end mark.
  int64_t Duration() const { return duration_; }
  // Contiguous impulse bytes of one phase make one impulse.
  const std::vector<TSimImpulse>& Impulses() const { return impulses_; }
  // Sample times in ns from the start, ascending.
  const std::vector<int64_t>& Strobes() const { return strobes_; }

 private:
  bool Refuse(const std::string& why, size_t offset);

  bool valid_ = false;
  std::string error_ = "no program";
  size_t errorOffset_ = 0;
  int64_t duration_ = 0;
  std::vector<TSimImpulse> impulses_;
  std::vector<int64_t> strobes_;
};

}  // namespace quellar::sim
