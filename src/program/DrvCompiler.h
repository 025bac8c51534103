#pragma once
// The impulse program model: impulses, silences, readings and packages held in order, and the
// list of time marks that a compilation fills, one per sample. All times are nanoseconds.
#include <cstdint>
#include <memory>
#include <vector>

namespace quellar::program {

// The program code can only express multiples of this step.
constexpr int64_t kCodeStep = 100;

// Rounds a positive Value up to a multiple of Step; zero and negative values, and any value
// when Step <= 0, come back unchanged. Raises EQuellarError when the result would not fit.
int64_t RoundUpToStep(int64_t Value, int64_t Step);
// The same without raising: false (Result untouched) when the result would not fit 64 bits.
bool TryRoundUpToStep(int64_t Value, int64_t Step, int64_t& Result);

class TProgramCompiler;

class TProgramItem {
 public:
  virtual ~TProgramItem() = default;
  // Copies Source's fields when it is an item of this kind; otherwise changes nothing.
  virtual bool Assign(const TProgramItem* Source) = 0;
  // A fresh item of the same kind with default fields.
  virtual std::unique_ptr<TProgramItem> NewOfKind() const = 0;
};

class TProgramImpulse final : public TProgramItem {
 public:
  bool Assign(const TProgramItem* Source) override;
  std::unique_ptr<TProgramItem> NewOfKind() const override;

  int64_t Duration = 0;
  uint8_t Phase = 0;  // 0..3 for 0, 90, 180, 270 degrees
  int64_t Silence = 0;
};

class TProgramSilence final : public TProgramItem {
 public:
  bool Assign(const TProgramItem* Source) override;
  std::unique_ptr<TProgramItem> NewOfKind() const override;

  int64_t Duration = 0;
};

class TProgramReading final : public TProgramItem {
 public:
  bool Assign(const TProgramItem* Source) override;
  std::unique_ptr<TProgramItem> NewOfKind() const override;

  int64_t Duration = 0;  // the whole window
  int64_t Interval = 0;  // one sample at the start of each interval
};

// A sub-program played Count times in a row (none when Count <= 0).
class TProgramPackage final : public TProgramItem {
 public:
  TProgramPackage();
  ~TProgramPackage() override;
  bool Assign(const TProgramItem* Source) override;
  std::unique_ptr<TProgramItem> NewOfKind() const override;

  TProgramCompiler& Program() { return *program_; }
  const TProgramCompiler& Program() const { return *program_; }

  int32_t Count = 0;

 private:
  std::unique_ptr<TProgramCompiler> program_;
};

// Time marks of the last compilation and its running time.
class TProgramMarkers {
 public:
  void Clear();
  void Advance(double Delta);
  void AddMark();
  // Raises EListError outside 0..Count-1.
  double Mark(int32_t i) const;

  int32_t Count() const { return count_; }
  int32_t Capacity() const { return capacity_; }
  double Time() const { return time_; }
  const double* Marks() const { return marks_.get(); }

 private:
  std::unique_ptr<double[]> marks_;
  int32_t capacity_ = 0;
  int32_t count_ = 0;
  double time_ = 0;
};

// A program: its items in order, the marks of its last compilation and the Idle flag of it.
// The base class stores values unchanged and produces no code.
class TProgramCompiler {
 public:
  TProgramCompiler();
  virtual ~TProgramCompiler();
  TProgramCompiler(const TProgramCompiler&) = delete;
  TProgramCompiler& operator=(const TProgramCompiler&) = delete;

  virtual bool AddImpulse(uint8_t Phase, int64_t Duration, int64_t Silence);
  virtual bool AddSilence(int64_t Duration);
  virtual bool AddReading(int64_t Duration, int64_t Interval);
  // Appends a package holding a deep copy of Source.
  virtual bool AddPackage(const TProgramCompiler* Source, int32_t Count);
  // Replaces the items by deep copies of Source's; false (and empty) when Source is absent.
  virtual bool Assign(const TProgramCompiler* Source);
  // Removes the items; the marks of the last compilation stay readable.
  virtual void Clear();
  // Stores Idle and clears the marks; the base class writes nothing and returns false.
  // Code is appended at the end of Stream; nullptr is an absent stream.
  virtual bool Compile(std::vector<uint8_t>* Stream, bool Idle);

  int64_t Count() const { return static_cast<int64_t>(items_.size()); }
  // Raises EListError outside 0..Count-1.
  TProgramItem& Items(int64_t i);
  const TProgramItem& Items(int64_t i) const;

  TProgramMarkers& Markers() { return markers_; }
  const TProgramMarkers& Markers() const { return markers_; }
  bool Idle() const { return idle_; }

 private:
  using ItemList = std::vector<std::unique_ptr<TProgramItem>>;
  // Deep copy without recursion, so packages nested to any depth are safe to copy.
  static ItemList CopyItems(const TProgramCompiler& Source);
  // Destroys a list without recursing into nested packages.
  static void DestroyItems(ItemList& Items);
  void Append(std::unique_ptr<TProgramItem> Item);

  ItemList items_;
  TProgramMarkers markers_;
  bool idle_ = false;
};

}  // namespace quellar::program
