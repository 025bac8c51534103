#include "program/DrvCompilerBytecode.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <unordered_map>

#include "errors/Asserts.h"

namespace quellar::program {

namespace {

constexpr Tag kTagAddImpulse = "{153BE181-2F45-4732-86F7-C7B390CE0651}";
constexpr Tag kTagAddSilence = "{D4EB832B-7350-442A-B22E-B8A72702AEAC}";
constexpr Tag kTagAddReading = "{0297C841-6AD9-4B18-8417-6118C8B09DA9}";
constexpr Tag kTagAddPackage = "{662A8045-3B4B-4B61-A633-C9ABC9A42D87}";
constexpr Tag kTagCompile = "{CC04B5F4-B7C6-45ED-8E55-C19CA211C1F9}";
constexpr Tag kTagEmitItems = "{8D2902B3-F991-4139-9420-6DA6673D8889}";
constexpr Tag kTagEmitItem = "{0921465B-D2F4-4C96-9FBE-B3FCAFB4682C}";
constexpr Tag kTagEmitDelay = "{8AECD53F-8685-4AD1-8E68-E5A0CAF5ACB1}";
constexpr Tag kTagPresetPhase = "{D9B35802-5438-4133-9196-9A19B6C4D446}";
constexpr Tag kTagBuildPlans = "{1C6FFEBE-A634-4C76-BF83-071F49D50FA0}";
constexpr Tag kTagImpulseOpcode = "{5679C6E9-3601-413F-B119-0DA8C4BC4816}";
constexpr Tag kTagStrobeLength = "{76B3203E-0D8A-47A7-A7E6-B3FA7CE7D4F2}";

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

uint8_t ImpulseOpcode(uint8_t Phase) {
  return Guarded(kTagImpulseOpcode, [&]() -> uint8_t {
    return Phase <= 3 ? static_cast<uint8_t>(kOpImpulse | (Phase << 5)) : kOpImpulse;
  });
}

int64_t StrobeLength(int64_t Interval) {
  return Guarded(kTagStrobeLength,
                 [&] { return Interval < kShortStrobeBelow ? kShortStrobe : kLongStrobe; });
}

// ---- admission ----

bool TProgramCompilerBytecode::AddImpulse(uint8_t Phase, int64_t Duration, int64_t Silence) {
  return Guarded(kTagAddImpulse, [&] {
    int64_t duration = 0, silence = 0;
    if (!TryRoundUpToStep(Duration, kCodeStep, duration) ||
        !TryRoundUpToStep(Silence, kCodeStep, silence) || duration <= 0)
      return false;
    return TProgramCompiler::AddImpulse(Phase, duration, silence);
  });
}

bool TProgramCompilerBytecode::AddSilence(int64_t Duration) {
  return Guarded(kTagAddSilence, [&] {
    int64_t duration = 0;
    if (!TryRoundUpToStep(Duration, kCodeStep, duration) || duration <= 0) return false;
    return TProgramCompiler::AddSilence(duration);
  });
}

bool TProgramCompilerBytecode::AddReading(int64_t Duration, int64_t Interval) {
  return Guarded(kTagAddReading, [&] {
    int64_t duration = 0, interval = 0;
    if (!TryRoundUpToStep(Duration, kCodeStep, duration) ||
        !TryRoundUpToStep(Interval, kCodeStep, interval) || duration < kMinReading ||
        interval < kMinReading)
      return false;
    return TProgramCompiler::AddReading(duration, interval);
  });
}

bool TProgramCompilerBytecode::AddPackage(const TProgramCompiler* Source, int32_t Count) {
  return Guarded(kTagAddPackage, [&] {
    if (!Source || Count == 0) return false;
    return TProgramCompiler::AddPackage(Source, Count);
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
  void Build(const TProgramCompiler& root) {
    // Programs in pre-order without recursion; built in reverse, each after its packages.
    std::vector<const TProgramCompiler*> order;
    std::vector<const TProgramCompiler*> pending{&root};
    while (!pending.empty()) {
      const TProgramCompiler* program = pending.back();
      pending.pop_back();
      order.push_back(program);
      for (int64_t i = 0; i < program->Count(); ++i)
        if (const auto* package = dynamic_cast<const TProgramPackage*>(&program->Items(i));
            package && package->Count > 0)
          pending.push_back(&package->Program());
    }
    plans_.reserve(order.size());
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
      plans_.push_back(std::make_unique<Plan>(PlanOf(**it)));
      byProgram_[*it] = plans_.back().get();
    }
  }

  Plan PlanOf(const TProgramCompiler& program) const {
    Plan plan;
    double shift = 0;
    auto step = [&](const TProgramItem* item, const Plan* body, int64_t reps) {
      plan.steps.push_back({item, body, reps, shift});
      shift = 0;
    };
    for (int64_t i = 0; i < program.Count(); ++i) {
      const TProgramItem& item = program.Items(i);
      if (const auto* impulse = dynamic_cast<const TProgramImpulse*>(&item)) {
        const int64_t length = idle_ ? RoundUpSat(IdleImpulseLength(*impulse)) : 1;
        if (length > 0)
          step(&item, nullptr, 1);
        else
          shift += static_cast<double>(length);
      } else if (const auto* silence = dynamic_cast<const TProgramSilence*>(&item)) {
        const int64_t length = RoundUpSat(silence->Duration);
        if (length > 0)
          step(&item, nullptr, 1);
        else
          shift += static_cast<double>(length);
      } else if (const auto* reading = dynamic_cast<const TProgramReading*>(&item)) {
        const ReadingShape shape = ShapeOf(*reading);
        if (shape.samples > 0 || RoundUpSat(shape.rest) > 0)
          step(&item, nullptr, 1);
        else
          shift += static_cast<double>(shape.rest);
      } else if (const auto* package = dynamic_cast<const TProgramPackage*>(&item)) {
        if (package->Count <= 0) continue;
        const Plan* body = byProgram_.at(&package->Program());
        int64_t reps = package->Count;
        if (body->steps.empty()) {
          shift += static_cast<double>(reps) * body->tail;
          continue;
        }
        // A body that is nothing but one package folds into it: nesting adds no depth.
        if (body->steps.size() == 1 && body->tail == 0 && body->steps[0].body &&
            body->steps[0].before == 0) {
          reps = SatMul(reps, body->steps[0].reps);
          body = body->steps[0].body;
        }
        step(nullptr, body, reps);
      }
    }
    plan.tail = shift;
    return plan;
  }

  bool idle_;
  std::vector<std::unique_ptr<Plan>> plans_;
  std::unordered_map<const TProgramCompiler*, const Plan*> byProgram_;
};

bool TProgramCompilerBytecode::Compile(std::vector<uint8_t>* Stream, bool Idle) {
  return Guarded(kTagCompile, [&] {
    TProgramCompiler::Compile(Stream, Idle);
    if (!Stream) return false;
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
    Stream->insert(Stream->end(), code.begin(), code.end());
    return true;
  });
}

void TProgramCompilerBytecode::EmitItems(const TProgramCompiler& Program) {
  Guarded(kTagEmitItems, [&] {
    const Plans plans(Program, Idle());
    TProgramMarkers& markers = Markers();
    struct Frame {
      const Plan* plan;
      size_t next;
      int64_t repsLeft;
    };
    std::vector<Frame> frames{{&plans.Of(Program), 0, 1}};
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
        EmitItem(*step.item);
    }
  });
}

void TProgramCompilerBytecode::EmitItem(const TProgramItem& Item) {
  Guarded(kTagEmitItem, [&] {
    if (const auto* impulse = dynamic_cast<const TProgramImpulse*>(&Item)) {
      if (Idle()) {
        EmitDelay(kOpSilence, IdleImpulseLength(*impulse));
      } else {
        EmitDelay(kOpWindow, kLeadIn);
        EmitDelay(ImpulseOpcode(impulse->Phase), impulse->Duration);
        EmitDelay(kOpWindow, kTail);
        EmitDelay(kOpSilence, SilenceAfterTail(*impulse));
      }
    } else if (const auto* silence = dynamic_cast<const TProgramSilence*>(&Item)) {
      EmitDelay(kOpSilence, silence->Duration);
    } else if (const auto* reading = dynamic_cast<const TProgramReading*>(&Item)) {
      const ReadingShape shape = ShapeOf(*reading);
      TProgramMarkers& markers = Markers();
      for (int64_t k = 0; k < shape.samples && !tooLong_; ++k) {
        markers.AddMark();
        EmitDelay(kOpStrobe, shape.strobe);
        EmitDelay(kOpSilence, shape.gap);
      }
      if (!tooLong_) EmitDelay(kOpSilence, shape.rest);
    }
  });
}

void TProgramCompilerBytecode::EmitDelay(uint8_t Opcode, int64_t Length) {
  Guarded(kTagEmitDelay, [&] {
    if (tooLong_) return;
    int64_t length = RoundUpSat(Length);
    Markers().Advance(static_cast<double>(length));
    const auto opcode = static_cast<uint8_t>(Opcode & 0xF8);
    // A length of 0 or less writes nothing: every class count would be 0 or negative.
    for (int c = 6; c >= 0 && length > 0; --c) {
      const int64_t unit = kDelayClassLength[c];
      if (length < unit) continue;
      int64_t k = 0;
      if (c >= 5) {
        k = length / unit;
        length -= k * unit;
      } else {
        // Below class 5 each class holds fewer than ten units of its own; subtraction is
        // cheaper than a 64-bit division here.
        do {
          length -= unit;
          ++k;
        } while (length >= unit);
      }
      // The end mark takes the last place; stop at once when the bytes cannot fit.
      const size_t used = code_->size();
      const size_t room = used < kMaxCodeSize - 1 ? kMaxCodeSize - 1 - used : 0;
      if (static_cast<uint64_t>(k) > room) {
        tooLong_ = true;
        return;
      }
      if (k == 1)
        code_->push_back(static_cast<uint8_t>(opcode | c));
      else
        code_->insert(code_->end(), static_cast<size_t>(k), static_cast<uint8_t>(opcode | c));
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
