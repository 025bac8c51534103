#pragma once
// The math subcommands' side of the library: the MathProcessor created by programmatic
// identifier like any client's, arrays to hand it, and the CSV columns they read.
#include <string>
#include <vector>

#include "automation/Quellar.h"

namespace quellar::tool {

// Columns of numbers from a CSV file ("-" for standard input): separators are commas,
// semicolons or blanks, '#' starts a comment, and a first line that is not numbers is a
// header. Every row has at least `required` values; missing ones up to `columns` are 0 and
// extra ones are ignored.
struct Columns {
  std::vector<std::vector<double>> values;  // values[c][row]
  std::string error;                        // empty when read
};
Columns ReadColumns(const std::string& file, size_t columns, size_t required);

// A library object by programmatic identifier, released on scope exit.
template <class I>
class Object {
 public:
  Object(const char* progId, const IID& iid) {
    status_ = QuellarCreateObject(progId, &iid, reinterpret_cast<void**>(&p_));
  }
  ~Object() {
    if (p_) p_->Release();
  }
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  I* operator->() const { return p_; }
  I* get() const { return p_; }
  HRESULT Status() const { return status_; }

 private:
  I* p_ = nullptr;
  HRESULT status_ = E_FAIL;
};

// A DoubleArray holding values.
class Array : public Object<IDoubleArray> {
 public:
  explicit Array(const std::vector<double>& values = {});
  std::vector<double> Values() const;
};

// Shortest text that reads back as the same double.
std::string Number(double value);

}  // namespace quellar::tool
