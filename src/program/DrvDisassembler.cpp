#include "program/DrvDisassembler.h"

#include <cstdint>

#include "errors/Asserts.h"
#include "program/DrvCodeFormat.h"
#include "program/DrvCompilerBytecode.h"

namespace quellar::program {

namespace {

constexpr Tag kTagDisassemble = "{2D65B279-0246-44B8-8096-27B2A0D551C5}";
constexpr Tag kTagPeriodName = "{83955EC2-56ED-4054-9891-17354B1B3F71}";

constexpr uint8_t kWindowOff = 0x80;   // set outside an impulse window
constexpr uint8_t kStrobeOff = 0x10;   // clear while sampling
constexpr uint8_t kImpulseOff = 0x08;  // clear while the impulse is on

bool IsImpulseByte(uint8_t b) {
  return b != kEndMark && (b & 0x07) != 0x07 && !(b & kWindowOff) && (b & kStrobeOff) &&
         !(b & kImpulseOff);
}

}  // namespace

const char* PeriodName(PeriodKind kind) {
  return Guarded(kTagPeriodName, [&] {
    switch (kind) {
      case PeriodKind::LeadIn:
        return "lead-in";
      case PeriodKind::Impulse:
        return "impulse";
      case PeriodKind::Tail:
        return "tail";
      case PeriodKind::Strobe:
        return "strobe";
      case PeriodKind::Silence:
        return "silence";
    }
    return "?";
  });
}

int PhaseDegrees(uint8_t phase) {
  return (phase & 3) * 90;
}

CodeListing Disassemble(const uint8_t* code, size_t size) {
  return Guarded(kTagDisassemble, [&] {
    CodeListing listing;
    auto fail = [&](size_t offset, std::string why) {
      listing.errorOffset = offset;
      listing.error = std::move(why);
      return listing;
    };
    int64_t time = 0;
    for (size_t i = 0; i < size; ++i) {
      // The analyzer refuses longer code, so none of it is what the analyzer plays.
      if (i == kMaxCodeSize) return fail(i, "longer than 32767 bytes");
      const uint8_t b = code[i];
      if (b == kEndMark) {
        if (i + 1 != size) return fail(i + 1, "data after the end mark");
        listing.duration = time;
        listing.valid = true;
        return listing;
      }
      if ((b & 0x07) == 0x07) return fail(i, "delay class 7 outside the end mark");
      const bool window = !(b & kWindowOff);
      const bool strobe = !(b & kStrobeOff);
      const bool on = !(b & kImpulseOff);
      if (!window && on) return fail(i, "impulse outside its window");
      if (window && strobe) return fail(i, "strobe inside an impulse window");
      PeriodKind kind;
      if (window && on)
        kind = PeriodKind::Impulse;
      else if (window)
        kind = i + 1 < size && IsImpulseByte(code[i + 1]) ? PeriodKind::LeadIn : PeriodKind::Tail;
      else
        kind = strobe ? PeriodKind::Strobe : PeriodKind::Silence;
      const auto phase = static_cast<uint8_t>((b >> 5) & 3);
      const int64_t length = kDelayClassLength[b & 0x07];
      if (time > INT64_MAX - length) return fail(i, "code too long to time");
      CodePeriod* last = listing.periods.empty() ? nullptr : &listing.periods.back();
      const bool joins = last && last->kind == kind && kind != PeriodKind::LeadIn &&
                         (kind != PeriodKind::Impulse || last->phase == phase);
      if (joins) {
        ++last->bytes;
        last->length += length;
      } else {
        listing.periods.push_back({kind, phase, i, 1, time, length});
        if (kind == PeriodKind::Strobe) listing.strobes.push_back(time);
      }
      time += length;
    }
    listing.duration = time;
    return fail(size, "no end mark");
  });
}

}  // namespace quellar::program
