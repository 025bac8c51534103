#include "program/DrvCompiler.h"

#include <algorithm>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>

#include "errors/Asserts.h"

namespace quellar::program {

namespace {

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

bool TryRoundUpToStep(int64_t value, int64_t step, int64_t& result) {
  if (step <= 0 || value <= 0) {
    result = value;
    return true;
  }
  // Integer arithmetic: exact for every 64-bit value, where a double quotient would lose
  // the remainder above 2^53.
  const int64_t remainder = value % step;
  if (remainder == 0) {
    result = value;
    return true;
  }
  int64_t rounded = 0;
  if (__builtin_add_overflow(value - remainder, step, &rounded)) return false;
  result = rounded;
  return true;
}

// ---- items ----

namespace {

// Calls copy(item) when the visited item is of kind T.
template <class T, class Copy>
class TSameKind final : public TProgramItemVisitor {
 public:
  explicit TSameKind(Copy& copy) : copy_(copy) {}
  void Visit(const TProgramImpulse& item) override { Take(item); }
  void Visit(const TProgramSilence& item) override { Take(item); }
  void Visit(const TProgramReading& item) override { Take(item); }
  void Visit(const TProgramPackage& item) override { Take(item); }
  bool matched = false;

 private:
  template <class S>
  void Take(const S& item) {
    if constexpr (std::is_same_v<S, T>) {
      copy_(item);
      matched = true;
    }
  }
  Copy& copy_;
};

template <class T, class Copy>
bool CopyIfSameKind(const TProgramItem* source, Copy copy) {
  if (!source) return false;
  TSameKind<T, Copy> visitor(copy);
  source->Accept(visitor);
  return visitor.matched;
}

}  // namespace

bool TProgramImpulse::Assign(const TProgramItem* source) {
  return Guarded(kTagImpulseAssign, [&] {
    return CopyIfSameKind<TProgramImpulse>(source,
                                           [&](const TProgramImpulse& from) { *this = from; });
  });
}

std::unique_ptr<TProgramItem> TProgramImpulse::CloneShallow() const {
  return Guarded(kTagImpulseNew, [&]() -> std::unique_ptr<TProgramItem> {
    return std::make_unique<TProgramImpulse>(*this);
  });
}

bool TProgramSilence::Assign(const TProgramItem* source) {
  return Guarded(kTagSilenceAssign, [&] {
    return CopyIfSameKind<TProgramSilence>(source,
                                           [&](const TProgramSilence& from) { *this = from; });
  });
}

std::unique_ptr<TProgramItem> TProgramSilence::CloneShallow() const {
  return Guarded(kTagSilenceNew, [&]() -> std::unique_ptr<TProgramItem> {
    return std::make_unique<TProgramSilence>(*this);
  });
}

bool TProgramReading::Assign(const TProgramItem* source) {
  return Guarded(kTagReadingAssign, [&] {
    return CopyIfSameKind<TProgramReading>(source,
                                           [&](const TProgramReading& from) { *this = from; });
  });
}

std::unique_ptr<TProgramItem> TProgramReading::CloneShallow() const {
  return Guarded(kTagReadingNew, [&]() -> std::unique_ptr<TProgramItem> {
    return std::make_unique<TProgramReading>(*this);
  });
}

TProgramPackage::TProgramPackage()
    : program_(Guarded(kTagPackageCreate, [] { return std::make_unique<TProgramCompiler>(); })) {}

TProgramPackage::~TProgramPackage() = default;

bool TProgramPackage::Assign(const TProgramItem* source) {
  return Guarded(kTagPackageAssign, [&] {
    return CopyIfSameKind<TProgramPackage>(source, [&](const TProgramPackage& from) {
      // Read the count first: the source may sit inside this package's program and go with it.
      const int32_t count = from.Count;
      program_->Assign(&from.Program());
      Count = count;
    });
  });
}

std::unique_ptr<TProgramItem> TProgramPackage::CloneShallow() const {
  return Guarded(kTagPackageNew, [&]() -> std::unique_ptr<TProgramItem> {
    auto copy = std::make_unique<TProgramPackage>();
    copy->Count = Count;
    return copy;
  });
}

// ---- marks ----

void TProgramMarkers::Clear() {
  Guarded(kTagMarkersClear, [&] {
    std::vector<double>().swap(marks_);  // capacity back to 0
    time_ = 0;
  });
}

void TProgramMarkers::Advance(double delta) {
  Guarded(kTagMarkersAdvance, [&] { time_ += delta; });
}

void TProgramMarkers::AddMark() {
  Guarded(kTagMarkersAddMark, [&] {
    if (marks_.size() == marks_.capacity()) {
      constexpr size_t kMax = std::numeric_limits<int32_t>::max();
      const size_t capacity = marks_.capacity();
      if (capacity == kMax) Raise<EListError>("too many time marks");
      marks_.reserve(std::min(std::max<size_t>(2 * capacity, 64), kMax));
    }
    marks_.push_back(time_);
  });
}

double TProgramMarkers::Mark(int32_t i) const {
  return Guarded(kTagMarkersMark, [&] {
    if (i < 0 || i >= Count())
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

void TProgramCompiler::DestroyItems(ItemList& items) {
  // Nested packages are taken apart into one work list, so destroying a deep nesting never
  // recurses deeper than one package.
  ItemList work = std::move(items);
  items.clear();
  while (!work.empty()) {
    std::unique_ptr<TProgramItem> item = std::move(work.back());
    work.pop_back();
    if (TProgramCompiler* inner = item->SubProgram()) {
      for (auto& child : inner->items_) work.push_back(std::move(child));
      inner->items_.clear();
    }
  }
}

void TProgramCompiler::Append(std::unique_ptr<TProgramItem> item) {
  Guarded(kTagAppend, [&] { items_.push_back(std::move(item)); });
}

bool TProgramCompiler::AddImpulse(uint8_t phase, int64_t duration, int64_t silence) {
  return Guarded(kTagAddImpulse, [&] {
    auto item = std::make_unique<TProgramImpulse>();
    item->Phase = phase;
    item->Duration = duration;
    item->Silence = silence;
    Append(std::move(item));
    return true;
  });
}

bool TProgramCompiler::AddSilence(int64_t duration) {
  return Guarded(kTagAddSilence, [&] {
    auto item = std::make_unique<TProgramSilence>();
    item->Duration = duration;
    Append(std::move(item));
    return true;
  });
}

bool TProgramCompiler::AddReading(int64_t duration, int64_t interval) {
  return Guarded(kTagAddReading, [&] {
    auto item = std::make_unique<TProgramReading>();
    item->Duration = duration;
    item->Interval = interval;
    Append(std::move(item));
    return true;
  });
}

bool TProgramCompiler::AddPackage(const TProgramCompiler* source, int32_t count) {
  return Guarded(kTagAddPackage, [&] {
    // The copy is made before the package joins this program, so a program may hold a
    // package of itself as it was.
    auto item = std::make_unique<TProgramPackage>();
    item->Program().Assign(source);
    item->Count = count;
    Append(std::move(item));
    return true;
  });
}

TProgramCompiler::ItemList TProgramCompiler::CopyItems(const TProgramCompiler& source) {
  return Guarded(kTagCopyItems, [&] {
    ItemList result;
    struct Job {
      const TProgramCompiler* from;
      ItemList* to;
    };
    std::vector<Job> jobs{{&source, &result}};
    while (!jobs.empty()) {
      const Job job = jobs.back();
      jobs.pop_back();
      job.to->reserve(job.from->items_.size());
      for (const auto& item : job.from->items_) {
        std::unique_ptr<TProgramItem> copy = item->CloneShallow();
        // Sub-programs live on the heap, so the address stays valid while queued.
        if (const TProgramCompiler* inner = item->SubProgram())
          jobs.push_back({inner, &copy->SubProgram()->items_});
        job.to->push_back(std::move(copy));
      }
    }
    return result;
  });
}

bool TProgramCompiler::Assign(const TProgramCompiler* source) {
  return Guarded(kTagAssign, [&] {
    if (!source) {
      Clear();
      return false;
    }
    // Copy first, then replace: source may be this program or lie inside one of its packages.
    ItemList copy = CopyItems(*source);
    std::swap(items_, copy);
    DestroyItems(copy);
    return true;
  });
}

void TProgramCompiler::Clear() {
  Guarded(kTagClear, [&] { DestroyItems(items_); });
}

bool TProgramCompiler::Compile(std::vector<uint8_t>* /*stream*/, bool idle) {
  return Guarded(kTagCompile, [&] {
    idle_ = idle;
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
