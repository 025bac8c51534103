#pragma once
// The impulse program model: impulses, silences, readings and packages held in order, and the
// list of time marks that a compilation fills, one per sample. All times are nanoseconds.
#include <cstdint>
#include <memory>
#include <vector>

namespace quellar::program {

// The program code can only express multiples of this step.
constexpr int64_t kCodeStep = 100;

// Rounds a positive value up to a multiple of step; zero and negative values, and any value
// when step <= 0, come back unchanged. False (result untouched) when the result would not fit
// 64 bits.
bool TryRoundUpToStep(int64_t value, int64_t step, int64_t& result);

class TProgramCompiler;
class TProgramImpulse;
class TProgramSilence;
class TProgramReading;
class TProgramPackage;

// One operation over the four item kinds; an item calls the overload of its own kind.
class TProgramItemVisitor {
 public:
  virtual ~TProgramItemVisitor() = default;
  virtual void Visit(const TProgramImpulse& item) = 0;
  virtual void Visit(const TProgramSilence& item) = 0;
  virtual void Visit(const TProgramReading& item) = 0;
  virtual void Visit(const TProgramPackage& item) = 0;
};

class TProgramItem {
 public:
  virtual ~TProgramItem() = default;
  // Copies source's fields when it is an item of this kind; otherwise changes nothing.
  virtual bool Assign(const TProgramItem* source) = 0;
  // A copy of this item; a package's copy starts with an empty program.
  virtual std::unique_ptr<TProgramItem> CloneShallow() const = 0;
  // The program a package holds; nullptr for the other kinds.
  virtual TProgramCompiler* SubProgram() { return nullptr; }
  virtual const TProgramCompiler* SubProgram() const { return nullptr; }
  virtual void Accept(TProgramItemVisitor& visitor) const = 0;
};

class TProgramImpulse final : public TProgramItem {
 public:
  bool Assign(const TProgramItem* source) override;
  std::unique_ptr<TProgramItem> CloneShallow() const override;
  void Accept(TProgramItemVisitor& visitor) const override { visitor.Visit(*this); }

  int64_t Duration = 0;
  uint8_t Phase = 0;  // 0..3 for 0, 90, 180, 270 degrees
  int64_t Silence = 0;
};

class TProgramSilence final : public TProgramItem {
 public:
  bool Assign(const TProgramItem* source) override;
  std::unique_ptr<TProgramItem> CloneShallow() const override;
  void Accept(TProgramItemVisitor& visitor) const override { visitor.Visit(*this); }

  int64_t Duration = 0;
};

class TProgramReading final : public TProgramItem {
 public:
  bool Assign(const TProgramItem* source) override;
  std::unique_ptr<TProgramItem> CloneShallow() const override;
  void Accept(TProgramItemVisitor& visitor) const override { visitor.Visit(*this); }

  int64_t Duration = 0;  // the whole window
  int64_t Interval = 0;  // one sample at the start of each interval
};

// A sub-program played Count times in a row (none when Count <= 0).
class TProgramPackage final : public TProgramItem {
 public:
  TProgramPackage();
  ~TProgramPackage() override;
  bool Assign(const TProgramItem* source) override;
  std::unique_ptr<TProgramItem> CloneShallow() const override;
  TProgramCompiler* SubProgram() override { return program_.get(); }
  const TProgramCompiler* SubProgram() const override { return program_.get(); }
  void Accept(TProgramItemVisitor& visitor) const override { visitor.Visit(*this); }

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
  void Advance(double delta);
  void AddMark();
  // Raises EListError outside 0..Count-1.
  double Mark(int32_t i) const;

  int32_t Count() const { return static_cast<int32_t>(marks_.size()); }
  // Grows to max(2 x capacity, 64) when full; 0 after Clear.
  int32_t Capacity() const { return static_cast<int32_t>(marks_.capacity()); }
  double Time() const { return time_; }

 private:
  std::vector<double> marks_;
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

  virtual bool AddImpulse(uint8_t phase, int64_t duration, int64_t silence);
  virtual bool AddSilence(int64_t duration);
  virtual bool AddReading(int64_t duration, int64_t interval);
  // Appends a package holding a deep copy of source.
  virtual bool AddPackage(const TProgramCompiler* source, int32_t count);
  // Replaces the items by deep copies of source's; false (and empty) when source is absent.
  virtual bool Assign(const TProgramCompiler* source);
  // Removes the items; the marks of the last compilation stay readable.
  virtual void Clear();
  // Stores idle and clears the marks; the base class writes nothing and returns false.
  // Code is appended at the end of stream; nullptr is an absent stream.
  virtual bool Compile(std::vector<uint8_t>* stream, bool idle);

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
  static ItemList CopyItems(const TProgramCompiler& source);
  // Destroys a list without recursing into nested packages.
  static void DestroyItems(ItemList& items);
  void Append(std::unique_ptr<TProgramItem> item);

  ItemList items_;
  TProgramMarkers markers_;
  bool idle_ = false;
};

}  // namespace quellar::program
