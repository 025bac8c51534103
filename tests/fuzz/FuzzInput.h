#pragma once
// Scaffolding shared by the fuzz targets: the check that ends a run, and a reader that turns the
// input into choices and values. An exhausted input reads as zeros, so every input is a whole
// case and replays the same way.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

namespace quellar::fuzz {

inline void Require(bool condition) {
  if (!condition) __builtin_trap();
}

class TInput {
 public:
  TInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool Empty() const { return at_ >= size_; }
  size_t Left() const { return Empty() ? 0 : size_ - at_; }
  const uint8_t* Here() const { return data_ + at_; }
  void Skip(size_t n) { at_ += n < Left() ? n : Left(); }

  uint8_t Byte() { return Empty() ? 0 : data_[at_++]; }
  bool Bit() { return Byte() & 1; }
  uint32_t U32() { return Raw<uint32_t>(); }
  // 0 .. n-1 (n > 0), from one byte when n fits one.
  uint32_t Below(uint32_t n) { return (n <= 256 ? Byte() : U32()) % n; }
  template <class T, size_t N>
  const T& Pick(const T (&table)[N]) {
    return table[Below(static_cast<uint32_t>(N))];
  }

  // A time or count: a value where the code changes behaviour, a multiple of 100, or (with
  // raw) any bit pattern, infinities and NaN included.
  double Real(bool raw = true) {
    static constexpr double kInf = std::numeric_limits<double>::infinity();
    static constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    static constexpr double kTable[] = {
        0,      -0.0,  0.5,  1,      -1,     2.5,    49.5,       99,          100.5,
        399,    400,   499,  499.5,  500,    501,    600,        699,         700,
        999.5,  1000,  1300, 3999,   4000,   4001,   4100,       5000,        8000,
        10600,  45,    90,   180,    270,    360,    -90,        5e5,         5e6,
        5e8,    1e9,   1e12, 1.6e13, 9.2e18, 9.3e18, 1.8e19,     2147483647,  2147483648,
        -1e300, 1e300, kInf, -kInf,  kNaN,   1e-310, 4294967296, -2147483649, 3.5};
    const uint8_t kind = Byte();
    constexpr size_t kCount = sizeof kTable / sizeof kTable[0];
    if (kind < kCount) return kTable[kind];
    if (kind < 224 || !raw) return 100.0 * Byte() * (kind % 8 + 1);
    return Raw<double>();
  }

 private:
  template <class T>
  T Raw() {
    T value{};
    const size_t n = sizeof(T) < Left() ? sizeof(T) : Left();
    if (n > 0) std::memcpy(&value, data_ + at_, n);
    at_ += n;
    return value;
  }

  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

}  // namespace quellar::fuzz
