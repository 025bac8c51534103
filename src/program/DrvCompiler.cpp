#include "program/DrvCompiler.h"

#include <algorithm>
#include <limits>
#include <string>
#include <utility>

#include "errors/Asserts.h"

namespace quellar::program {

namespace {

constexpr Tag kTagRoundUpToStep = "{6C7ABF3C-E36A-496D-9B43-4A453BEBC447}";
constexpr Tag kTagImpulseAssign = "{F8B8B39D-C447-4615-978E-B429855EB371}";
constexpr Tag kTagImpulseNew = "{C0BC06E1-0B78-47FD-8C60-00896F2A6533}";
constexpr Tag kTagSilenceAssign = "{A249C464-E580-4D28-BFFE-C5A375FE7D07}";
constexpr Tag kTagSilenceNew = "{2A2EE306-56ED-4364-AF61-4B1167D21887}";
constexpr Tag kTagReadingAssign = "{8C3F42A0-3384-4D66-9C15-7282B6A70228}";
constexpr Tag kTagReadingNew = "{4FB5F263-12DF-4C8A-BEF9-523B5E83D051}";
constexpr Tag kTagPackageCreate = "{D1E140A9-3AC4-4838-8609-76F001CCC911}";
constexpr Tag kTagPackageAssign = "{3096F867-4322-41FB-B4A2-EB181732BD47}";
constexpr Tag kTagPackageNew = "{2805C961-C99A-4382-9716-C5961AB09A56}";
constexpr Tag kTagMarkersClear = "{2B74C895-E16C-4567-A11B-2000AFD89EE2}";
constexpr Tag kTagMarkersAdvance = "{BE4A3CBA-F094-4762-A593-DE9265096EF3}";
constexpr Tag kTagMarkersAddMark = "{4659B2FA-5F8B-4DBE-843D-EB8F6A63B01B}";
constexpr Tag kTagMarkersMark = "{944BAA73-0767-4C0B-818F-1E9002388E89}";
constexpr Tag kTagProgramCreate = "{FA9DE206-2A6A-407B-A959-6147FB0C963E}";
constexpr Tag kTagAddImpulse = "{43A81283-3D15-44E8-AEED-A7FAAD5F5234}";
constexpr Tag kTagAddSilence = "{3F0C6EC1-8011-4133-916D-FBAD9950E985}";
constexpr Tag kTagAddReading = "{1A778501-3B2C-4C9E-8C1C-DAA94350A167}";
constexpr Tag kTagAddPackage = "{862E88EF-57A3-4D42-9E58-B3EB3D49F972}";
constexpr Tag kTagAssign = "{B8179812-0D30-480D-ABA7-4CAD40D1805E}";
constexpr Tag kTagClear = "{4BF13527-4BD0-4556-A86F-74B9D8B2E3F6}";
constexpr Tag kTagCompile = "{FE8CD0CD-34AF-4097-B90D-56D1E0E0A062}";
constexpr Tag kTagItems = "{A3FDB95F-7D14-4FDD-A191-C3852A9CEB03}";
constexpr Tag kTagItemsConst = "{4EA2736F-5118-4312-A930-D0DD8E6E3394}";
constexpr Tag kTagCopyItems = "{0DA7C30B-AE11-4179-B3CF-288F0E8D9B8A}";
constexpr Tag kTagAppend = "{716E84AF-7A6D-48DE-BDC0-F8CCB6278083}";

}  // namespace

bool TryRoundUpToStep(int64_t Value, int64_t Step, int64_t& Result) {
  if (Step <= 0 || Value <= 0) {
    Result = Value;
    return true;
  }
  // Integer arithmetic: exact for every 64-bit value, where a double quotient would lose
  // the remainder above 2^53.
  const int64_t remainder = Value % Step;
  if (remainder == 0) {
    Result = Value;
    return true;
  }
  int64_t rounded = 0;
  if (__builtin_add_overflow(Value - remainder, Step, &rounded)) return false;
  Result = rounded;
  return true;
}

int64_t RoundUpToStep(int64_t Value, int64_t Step) {
  return Guarded(kTagRoundUpToStep, [&] {
    int64_t result = 0;
    if (!TryRoundUpToStep(Value, Step, result))
      Raise<EQuellarError>("value " + std::to_string(Value) +
                           " cannot be rounded up to a step of " + std::to_string(Step));
    return result;
  });
}

// ---- items ----

bool TProgramImpulse::Assign(const TProgramItem* Source) {
  return Guarded(kTagImpulseAssign, [&] {
    const auto* source = dynamic_cast<const TProgramImpulse*>(Source);
    if (!source) return false;
    Duration = source->Duration;
    Phase = source->Phase;
    Silence = source->Silence;
    return true;
  });
}

std::unique_ptr<TProgramItem> TProgramImpulse::NewOfKind() const {
  return Guarded(kTagImpulseNew, [&]() -> std::unique_ptr<TProgramItem> {
    return std::make_unique<TProgramImpulse>();
  });
}

bool TProgramSilence::Assign(const TProgramItem* Source) {
  return Guarded(kTagSilenceAssign, [&] {
    const auto* source = dynamic_cast<const TProgramSilence*>(Source);
    if (!source) return false;
    Duration = source->Duration;
    return true;
  });
}

std::unique_ptr<TProgramItem> TProgramSilence::NewOfKind() const {
  return Guarded(kTagSilenceNew, [&]() -> std::unique_ptr<TProgramItem> {
    return std::make_unique<TProgramSilence>();
  });
}

bool TProgramReading::Assign(const TProgramItem* Source) {
  return Guarded(kTagReadingAssign, [&] {
    const auto* source = dynamic_cast<const TProgramReading*>(Source);
    if (!source) return false;
    Duration = source->Duration;
    Interval = source->Interval;
    return true;
  });
}

std::unique_ptr<TProgramItem> TProgramReading::NewOfKind() const {
  return Guarded(kTagReadingNew, [&]() -> std::unique_ptr<TProgramItem> {
    return std::make_unique<TProgramReading>();
  });
}

TProgramPackage::TProgramPackage()
    : program_(Guarded(kTagPackageCreate, [] { return std::make_unique<TProgramCompiler>(); })) {}

TProgramPackage::~TProgramPackage() = default;

bool TProgramPackage::Assign(const TProgramItem* Source) {
  return Guarded(kTagPackageAssign, [&] {
    const auto* source = dynamic_cast<const TProgramPackage*>(Source);
    if (!source) return false;
    // Read the count first: Source may sit inside this package's program and go with it.
    const int32_t count = source->Count;
    program_->Assign(&source->Program());
    Count = count;
    return true;
  });
}

std::unique_ptr<TProgramItem> TProgramPackage::NewOfKind() const {
  return Guarded(kTagPackageNew, [&]() -> std::unique_ptr<TProgramItem> {
    return std::make_unique<TProgramPackage>();
  });
}

// ---- marks ----

void TProgramMarkers::Clear() {
  Guarded(kTagMarkersClear, [&] {
    marks_.reset();
    capacity_ = 0;
    count_ = 0;
    time_ = 0;
  });
}

void TProgramMarkers::Advance(double Delta) {
  Guarded(kTagMarkersAdvance, [&] { time_ += Delta; });
}

void TProgramMarkers::AddMark() {
  Guarded(kTagMarkersAddMark, [&] {
    if (count_ == capacity_) {
      constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
      if (capacity_ == kMax) Raise<EListError>("too many time marks");
      const int32_t capacity = capacity_ > kMax / 2 ? kMax : std::max(2 * capacity_, 64);
      auto marks = std::make_unique<double[]>(static_cast<size_t>(capacity));
      std::copy(marks_.get(), marks_.get() + count_, marks.get());
      marks_ = std::move(marks);
      capacity_ = capacity;
    }
    marks_[static_cast<size_t>(count_++)] = time_;
  });
}

double TProgramMarkers::Mark(int32_t i) const {
  return Guarded(kTagMarkersMark, [&] {
    if (i < 0 || i >= count_)
      Raise<EListError>("time mark index out of range: " + std::to_string(i));
    return marks_[static_cast<size_t>(i)];
  });
}

// ---- program ----

TProgramCompiler::TProgramCompiler() {
  Guarded(kTagProgramCreate, [&] { markers_.Clear(); });
}

TProgramCompiler::~TProgramCompiler() {
  DestroyItems(items_);
}

void TProgramCompiler::DestroyItems(ItemList& Items) {
  // Nested packages are taken apart into one work list, so destroying a deep nesting never
  // recurses deeper than one package.
  ItemList work = std::move(Items);
  Items.clear();
  while (!work.empty()) {
    std::unique_ptr<TProgramItem> item = std::move(work.back());
    work.pop_back();
    if (auto* package = dynamic_cast<TProgramPackage*>(item.get())) {
      ItemList& inner = package->Program().items_;
      for (auto& child : inner) work.push_back(std::move(child));
      inner.clear();
    }
  }
}

void TProgramCompiler::Append(std::unique_ptr<TProgramItem> Item) {
  Guarded(kTagAppend, [&] { items_.push_back(std::move(Item)); });
}

bool TProgramCompiler::AddImpulse(uint8_t Phase, int64_t Duration, int64_t Silence) {
  return Guarded(kTagAddImpulse, [&] {
    auto item = std::make_unique<TProgramImpulse>();
    item->Phase = Phase;
    item->Duration = Duration;
    item->Silence = Silence;
    Append(std::move(item));
    return true;
  });
}

bool TProgramCompiler::AddSilence(int64_t Duration) {
  return Guarded(kTagAddSilence, [&] {
    auto item = std::make_unique<TProgramSilence>();
    item->Duration = Duration;
    Append(std::move(item));
    return true;
  });
}

bool TProgramCompiler::AddReading(int64_t Duration, int64_t Interval) {
  return Guarded(kTagAddReading, [&] {
    auto item = std::make_unique<TProgramReading>();
    item->Duration = Duration;
    item->Interval = Interval;
    Append(std::move(item));
    return true;
  });
}

bool TProgramCompiler::AddPackage(const TProgramCompiler* Source, int32_t Count) {
  return Guarded(kTagAddPackage, [&] {
    // The copy is made before the package joins this program, so a program may hold a
    // package of itself as it was.
    auto item = std::make_unique<TProgramPackage>();
    item->Program().Assign(Source);
    item->Count = Count;
    Append(std::move(item));
    return true;
  });
}

TProgramCompiler::ItemList TProgramCompiler::CopyItems(const TProgramCompiler& Source) {
  return Guarded(kTagCopyItems, [&] {
    ItemList result;
    struct Job {
      const TProgramCompiler* from;
      ItemList* to;
    };
    std::vector<Job> jobs{{&Source, &result}};
    while (!jobs.empty()) {
      const Job job = jobs.back();
      jobs.pop_back();
      job.to->reserve(job.from->items_.size());
      for (const auto& item : job.from->items_) {
        std::unique_ptr<TProgramItem> copy = item->NewOfKind();
        if (const auto* package = dynamic_cast<const TProgramPackage*>(item.get())) {
          auto* target = static_cast<TProgramPackage*>(copy.get());
          target->Count = package->Count;
          // Sub-programs live on the heap, so the address stays valid while queued.
          jobs.push_back({&package->Program(), &target->Program().items_});
        } else {
          copy->Assign(item.get());
        }
        job.to->push_back(std::move(copy));
      }
    }
    return result;
  });
}

bool TProgramCompiler::Assign(const TProgramCompiler* Source) {
  return Guarded(kTagAssign, [&] {
    if (!Source) {
      Clear();
      return false;
    }
    // Copy first, then replace: Source may be this program or lie inside one of its packages.
    ItemList copy = CopyItems(*Source);
    std::swap(items_, copy);
    DestroyItems(copy);
    return true;
  });
}

void TProgramCompiler::Clear() {
  Guarded(kTagClear, [&] { DestroyItems(items_); });
}

bool TProgramCompiler::Compile(std::vector<uint8_t>* /*Stream*/, bool Idle) {
  return Guarded(kTagCompile, [&] {
    idle_ = Idle;
    markers_.Clear();
    return false;
  });
}

TProgramItem& TProgramCompiler::Items(int64_t i) {
  return Guarded(kTagItems, [&]() -> TProgramItem& {
    if (i < 0 || i >= Count())
      Raise<EListError>("list index out of bounds (" + std::to_string(i) + ")");
    return *items_[static_cast<size_t>(i)];
  });
}

const TProgramItem& TProgramCompiler::Items(int64_t i) const {
  return Guarded(kTagItemsConst, [&]() -> const TProgramItem& {
    if (i < 0 || i >= Count())
      Raise<EListError>("list index out of bounds (" + std::to_string(i) + ")");
    return *items_[static_cast<size_t>(i)];
  });
}

}  // namespace quellar::program
