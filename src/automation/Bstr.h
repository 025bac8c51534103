#pragma once
// Automation strings: UTF-8 <-> UTF-16 conversion and an owning BSTR holder.
#include <string>
#include <string_view>

#include "automation/com/ComBase.h"

namespace quellar::automation {

using OleString = std::basic_string<OLECHAR>;

OleString ToOle(std::string_view utf8);
std::string FromOle(const OLECHAR* text, size_t length);
// UTF-8 text of a BSTR (null reads as empty).
std::string FromBstr(BSTR text);
// A new BSTR with the text; throws std::bad_alloc when it cannot be allocated.
BSTR NewBstr(std::string_view utf8);

// Owns one BSTR.
class TBstr {
 public:
  TBstr() = default;
  explicit TBstr(std::string_view utf8) : value_(NewBstr(utf8)) {}
  ~TBstr() { SysFreeString(value_); }
  TBstr(const TBstr&) = delete;
  TBstr& operator=(const TBstr&) = delete;
  BSTR get() const { return value_; }
  BSTR* out() {
    SysFreeString(value_);
    value_ = nullptr;
    return &value_;
  }

 private:
  BSTR value_ = nullptr;
};

}  // namespace quellar::automation
