#include "program/DrvCompilerBytecode.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <unordered_map>

#include "errors/Asserts.h"
#include "program/DrvCodeFormat.h"

namespace quellar::program {

namespace {

constexpr Tag kTagAddImpulse = "{153BE181-2F45-4732-86F7-C7B390CE0651}";
constexpr Tag kTagAddSilence = "{D4EB832B-7350-442A-B22E-B8A72702AEAC}";
constexpr Tag kTagAddReading = "{0297C841-6AD9-4B18-8417-6118C8B09DA9}";
constexpr Tag kTagAddPackage = "{662A8045-3B4B-4B61-A633-C9ABC9A42D87}";
constexpr Tag kTagCompile = "{CC04B5F4-B7C6-45ED-8E55-C19CA211C1F9}";
constexpr Tag kTagEmitItems = "{8D2902B3-F991-4139-9420-6DA6673D8889}";
constexpr Tag kTagEmitImpulse = "{0921465B-D2F4-4C96-9FBE-B3FCAFB4682C}";
constexpr Tag kTagEmitSilence = "{F3E6C9A0-63B5-4E6B-9A0D-58D1D0C3A1E4}";
constexpr Tag kTagEmitReading = "{A5C0E2B7-1F4D-4B8E-8E61-3D7F9C2B5A10}";
constexpr Tag kTagEmitDelay = "{8AECD53F-8685-4AD1-8E68-E5A0CAF5ACB1}";
constexpr Tag kTagPresetPhase = "{D9B35802-5438-4133-9196-9A19B6C4D446}";
constexpr Tag kTagBuildPlans = "{1C6FFEBE-A634-4C76-BF83-071F49D50FA0}";

constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kInt64Min = std::numeric_limits<int64_t>::min();

// Saturating arithmetic for lengths derived from stored values. A length saturated upwards
// is far beyond what the code can hold, so it ends the compilation as too long; one
// saturated downwards writes nothing either way.
int64_t SatAdd(int64_t a, int64_t b) {
  int64_t r = 0;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? kInt64Max : kInt64Min;
  return r;
}

int64_t SatSub(int64_t a, int64_t b) {
  int64_t r = 0;
  if (__builtin_sub_overflow(a, b, &r)) return b < 0 ? kInt64Max : kInt64Min;
  return r;
}

int64_t SatMul(int64_t a, int64_t b) {
  int64_t r = 0;
  if (__builtin_mul_overflow(a, b, &r)) return (a < 0) != (b < 0) ? kInt64Min : kInt64Max;
  return r;
}

// RoundUpToStep with the code step as a constant (no division instruction on the hot path),
// saturating where the rounded value would not fit.
int64_t RoundUpSat(int64_t value) {
  if (value <= 0) return value;
  const int64_t remainder = value % kCodeStep;
  if (remainder == 0) return value;
  int64_t rounded = 0;
  return __builtin_add_overflow(value - remainder, kCodeStep, &rounded) ? kInt64Max : rounded;
}

// An impulse block lasts lead-in + Duration + the longer of its silence and the tail: the tail
// is always written, so a shorter silence cannot shorten the block.
int64_t SilenceAfterTail(const TProgramImpulse& impulse) {
  return std::max(impulse.Silence, kTail) - kTail;
}

int64_t IdleImpulseLength(const TProgramImpulse& impulse) {
  return SatAdd(SatAdd(impulse.Duration, kLeadIn), std::max(impulse.Silence, kTail));
}

struct ReadingShape {
  int64_t samples;  // strobes to write (0 when none)
  int64_t strobe;
  int64_t gap;   // after each strobe
  int64_t rest;  // after the last sample
};

ReadingShape ShapeOf(const TProgramReading& reading) {
  const int64_t duration = reading.Duration;
  const int64_t interval = reading.Interval;
  ReadingShape shape{};
  shape.strobe = StrobeLength(interval);
  shape.gap = SatSub(interval, shape.strobe);
  if (interval == 0) {
    // Endless samples in a positive window; none in an empty or negative one.
    shape.samples = duration > 0 ? kInt64Max : 0;
    shape.rest = duration > 0 ? 0 : duration;
    return shape;
  }
  const double n = std::floor(static_cast<double>(duration) / static_cast<double>(interval));
  constexpr double kLimit = 9.2e18;  // below 2^63, so the conversion is defined
  if (n >= kLimit) {
    shape.samples = kInt64Max;
    shape.rest = 0;
  } else if (n <= -kLimit) {
    shape.samples = 0;
    shape.rest = duration;
  } else {
    const auto count = static_cast<int64_t>(n);
    shape.samples = std::max<int64_t>(count, 0);
    shape.rest = SatSub(duration, SatMul(count, interval));
  }
  return shape;
}

}  // namespace

// ---- admission ----

bool TProgramCompilerBytecode::Admit(TRefusal refusal, const char* value, int64_t rounded) {
  admission_ = {refusal, value, rounded};
  return refusal == TRefusal::None;
}

bool TProgramCompilerBytecode::AdmitLength(const char* value, int64_t given, int64_t minimum,
                                           int64_t& rounded) {
  if (!TryRoundUpToStep(given, kCodeStep, rounded)) return Admit(TRefusal::TooLarge, value, given);
  if (rounded < minimum)
    return Admit(minimum <= 1 ? TRefusal::NotAboveZero : TRefusal::BelowMinimum, value, rounded);
  return Admit(TRefusal::None, "", 0);
}

bool TProgramCompilerBytecode::AddImpulse(uint8_t phase, int64_t duration, int64_t silence) {
  return Guarded(kTagAddImpulse, [&] {
    int64_t roundedDuration = 0, roundedSilence = 0;
    // The model sets no lower bound on the silence, only the 64-bit range.
    if (!AdmitLength("duration", duration, 1, roundedDuration) ||
        !AdmitLength("silence", silence, std::numeric_limits<int64_t>::min(), roundedSilence))
      return false;
    return TProgramCompiler::AddImpulse(phase, roundedDuration, roundedSilence);
  });
}

bool TProgramCompilerBytecode::AddSilence(int64_t duration) {
  return Guarded(kTagAddSilence, [&] {
    int64_t rounded = 0;
    if (!AdmitLength("duration", duration, 1, rounded)) return false;
    return TProgramCompiler::AddSilence(rounded);
  });
}

bool TProgramCompilerBytecode::AddReading(int64_t duration, int64_t interval) {
  return Guarded(kTagAddReading, [&] {
    int64_t roundedDuration = 0, roundedInterval = 0;
    if (!AdmitLength("duration", duration, kMinReading, roundedDuration) ||
        !AdmitLength("interval", interval, kMinReading, roundedInterval))
      return false;
    return TProgramCompiler::AddReading(roundedDuration, roundedInterval);
  });
}

bool TProgramCompilerBytecode::AddPackage(const TProgramCompiler* source, int32_t count) {
  return Guarded(kTagAddPackage, [&] {
    if (!source) return Admit(TRefusal::NoSource, "source", 0);
    if (count == 0) return Admit(TRefusal::ZeroCount, "count", 0);
    Admit(TRefusal::None, "", 0);
    return TProgramCompiler::AddPackage(source, count);
  });
}

// ---- compilation ----

// What one repetition of a program emits, with the items that write no byte folded into
// running-time shifts. Every step writes at least one byte, so walking the steps costs work
// in proportion to the code, however often silent items repeat or nest.
struct TProgramCompilerBytecode::Plan {
  struct Step {
    const TProgramItem* item;  // an impulse, silence or reading; nullptr for a package
    const Plan* body;          // a package's program
    int64_t reps;              // repetitions of body (>= 1)
    double before;             // shift of the silent items just before this step
  };
  std::vector<Step> steps;
  double tail = 0;  // shift of the silent items after the last step
};

class TProgramCompilerBytecode::Plans {
 public:
  Plans(const TProgramCompiler& root, bool idle) : idle_(idle) {
    Guarded(kTagBuildPlans, [&] { Build(root); });
  }
  const Plan& Of(const TProgramCompiler& program) const { return *byProgram_.at(&program); }

 private:
  // Adds each item of one program to its plan: a step when it writes code, otherwise a shift
  // of the running time.
  class Planner final : public TProgramItemVisitor {
   public:
    Planner(const Plans& plans, Plan& plan) : plans_(plans), plan_(plan) {}
    void Visit(const TProgramImpulse& impulse) override {
      Add(impulse, plans_.idle_ ? RoundUpSat(IdleImpulseLength(impulse)) : 1);
    }
    void Visit(const TProgramSilence& silence) override {
      Add(silence, RoundUpSat(silence.Duration));
    }
    void Visit(const TProgramReading& reading) override {
      const ReadingShape shape = ShapeOf(reading);
      Add(reading, shape.samples > 0 ? 1 : RoundUpSat(shape.rest));
    }
    void Visit(const TProgramPackage& package) override {
      if (package.Count <= 0) return;
      const Plan* body = plans_.byProgram_.at(&package.Program());
      int64_t reps = package.Count;
      if (body->steps.empty()) {
        shift_ += static_cast<double>(reps) * body->tail;
        return;
      }
      // A body that is nothing but one package folds into it: nesting adds no depth.
      if (body->steps.size() == 1 && body->tail == 0 && body->steps[0].body &&
          body->steps[0].before == 0) {
        reps = SatMul(reps, body->steps[0].reps);
        body = body->steps[0].body;
      }
      Step(nullptr, body, reps);
    }
    void Finish() { plan_.tail = shift_; }

   private:
    // length: what the item moves the running time by when it writes no byte (<= 0).
    void Add(const TProgramItem& item, int64_t length) {
      if (length > 0)
        Step(&item, nullptr, 1);
      else
        shift_ += static_cast<double>(length);
    }
    void Step(const TProgramItem* item, const Plan* body, int64_t reps) {
      plan_.steps.push_back({item, body, reps, shift_});
      shift_ = 0;
    }
    const Plans& plans_;
    Plan& plan_;
    double shift_ = 0;
  };

  void Build(const TProgramCompiler& root) {
    // Programs in pre-order without recursion; built in reverse, each after its packages.
    std::vector<const TProgramCompiler*> order;
    std::vector<const TProgramCompiler*> pending{&root};
    while (!pending.empty()) {
      const TProgramCompiler* program = pending.back();
      pending.pop_back();
      order.push_back(program);
      for (int64_t i = 0; i < program->Count(); ++i)
        if (const TProgramCompiler* inner = program->Items(i).SubProgram())
          pending.push_back(inner);
    }
    plans_.reserve(order.size());
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
      auto plan = std::make_unique<Plan>();
      Planner planner(*this, *plan);
      for (int64_t i = 0; i < (*it)->Count(); ++i) (*it)->Items(i).Accept(planner);
      planner.Finish();
      byProgram_[*it] = plan.get();
      plans_.push_back(std::move(plan));
    }
  }

  bool idle_;
  std::vector<std::unique_ptr<Plan>> plans_;
  std::unordered_map<const TProgramCompiler*, const Plan*> byProgram_;
};

bool TProgramCompilerBytecode::Compile(std::vector<uint8_t>* stream, bool idle) {
  return Guarded(kTagCompile, [&] {
    TProgramCompiler::Compile(stream, idle);
    if (!stream) return false;
    std::vector<uint8_t> code;
    code.reserve(kMaxCodeSize);  // one allocation; emission never goes past it
    code_ = &code;
    tooLong_ = false;
    struct Release {
      TProgramCompilerBytecode* self;
      ~Release() { self->code_ = nullptr; }
    } release{this};
    EmitItems(*this);
    if (tooLong_) return false;
    code.push_back(kEndMark);
    PresetPhase();
    if (code.size() > kMaxCodeSize) return false;
    stream->insert(stream->end(), code.begin(), code.end());
    return true;
  });
}

void TProgramCompilerBytecode::EmitItems(const TProgramCompiler& program) {
  Guarded(kTagEmitItems, [&] {
    const Plans plans(program, Idle());
    TProgramMarkers& markers = Markers();
    struct Frame {
      const Plan* plan;
      size_t next;
      int64_t repsLeft;
    };
    std::vector<Frame> frames{{&plans.Of(program), 0, 1}};
    while (!frames.empty() && !tooLong_) {
      Frame& frame = frames.back();
      if (frame.next == frame.plan->steps.size()) {
        if (frame.plan->tail != 0) markers.Advance(frame.plan->tail);
        if (--frame.repsLeft > 0)
          frame.next = 0;
        else
          frames.pop_back();
        continue;
      }
      const Plan::Step& step = frame.plan->steps[frame.next++];
      if (step.before != 0) markers.Advance(step.before);
      if (step.body)
        frames.push_back({step.body, 0, step.reps});
      else
        step.item->Accept(*this);
    }
  });
}

void TProgramCompilerBytecode::Visit(const TProgramImpulse& impulse) {
  Guarded(kTagEmitImpulse, [&] {
    if (Idle()) {
      EmitDelay(kOpSilence, IdleImpulseLength(impulse));
      return;
    }
    EmitDelay(kOpWindow, kLeadIn);
    EmitDelay(ImpulseOpcode(impulse.Phase), impulse.Duration);
    EmitDelay(kOpWindow, kTail);
    EmitDelay(kOpSilence, SilenceAfterTail(impulse));
  });
}

void TProgramCompilerBytecode::Visit(const TProgramSilence& silence) {
  Guarded(kTagEmitSilence, [&] { EmitDelay(kOpSilence, silence.Duration); });
}

void TProgramCompilerBytecode::Visit(const TProgramReading& reading) {
  Guarded(kTagEmitReading, [&] {
    const ReadingShape shape = ShapeOf(reading);
    TProgramMarkers& markers = Markers();
    for (int64_t k = 0; k < shape.samples && !tooLong_; ++k) {
      markers.AddMark();
      EmitDelay(kOpStrobe, shape.strobe);
      EmitDelay(kOpSilence, shape.gap);
    }
    if (!tooLong_) EmitDelay(kOpSilence, shape.rest);
  });
}

// Packages never reach emission: their plans are walked by EmitItems.
void TProgramCompilerBytecode::Visit(const TProgramPackage&) {}

void TProgramCompilerBytecode::EmitDelay(uint8_t opcode, int64_t length) {
  Guarded(kTagEmitDelay, [&] {
    if (tooLong_) return;
    int64_t left = RoundUpSat(length);
    Markers().Advance(static_cast<double>(left));
    const auto high = static_cast<uint8_t>(opcode & 0xF8);
    // A length of 0 or less writes nothing: every class count would be 0 or negative.
    for (int c = 6; c >= 0 && left > 0; --c) {
      const int64_t unit = kDelayClassLength[c];
      if (left < unit) continue;
      int64_t k = 0;
      if (c >= 5) {
        k = left / unit;
        left -= k * unit;
      } else {
        // Below class 5 each class holds fewer than ten units of its own; subtraction is
        // cheaper than a 64-bit division here.
        do {
          left -= unit;
          ++k;
        } while (left >= unit);
      }
      // The end mark takes the last place; stop at once when the bytes cannot fit.
      const size_t used = code_->size();
      const size_t room = used < kMaxCodeSize - 1 ? kMaxCodeSize - 1 - used : 0;
      if (static_cast<uint64_t>(k) > room) {
        tooLong_ = true;
        return;
      }
      if (k == 1)
        code_->push_back(static_cast<uint8_t>(high | c));
      else
        code_->insert(code_->end(), static_cast<size_t>(k), static_cast<uint8_t>(high | c));
    }
  });
}

void TProgramCompilerBytecode::PresetPhase() {
  Guarded(kTagPresetPhase, [&] {
    std::vector<uint8_t>& code = *code_;
    for (size_t i = 1; i < code.size(); ++i)
      if ((code[i] & 0x08) == 0)
        code[i - 1] = static_cast<uint8_t>((code[i - 1] & 0x9F) | (code[i] & 0x60));
  });
}

}  // namespace quellar::program
