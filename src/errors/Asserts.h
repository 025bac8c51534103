#pragma once
// Error reports: every unexpected failure (an exception leaving one of our routines, a broken
// internal precondition, an OS call that should not fail) is appended to the error log and
// shown in the report dialog. Expected failures are plain false results, never these.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

namespace quellar {

// The common base of the library's exceptions: a message, the code address where it was
// raised, and optionally an automation status code that the boundary passes to the client.
class EQuellarError : public std::runtime_error {
 public:
  explicit EQuellarError(const std::string& message, int32_t status = 0,
                         const void* address = nullptr)
      : std::runtime_error(message), status_(status), address_(address) {}
  virtual const char* TypeName() const noexcept { return "EQuellarError"; }
  int32_t Status() const noexcept { return status_; }
  const void* Address() const noexcept { return address_; }
  void SetAddress(const void* address) noexcept { address_ = address; }

 private:
  int32_t status_;
  const void* address_;
};

// The error log could not be opened or written.
class EInOutError : public EQuellarError {
 public:
  using EQuellarError::EQuellarError;
  const char* TypeName() const noexcept override { return "EInOutError"; }
};

// An index outside a list.
class EListError : public EQuellarError {
 public:
  using EQuellarError::EQuellarError;
  const char* TypeName() const noexcept override { return "EListError"; }
};

// Throws an exception of type E, recording the caller's code address in it.
template <class E = EQuellarError, class... Args>
[[noreturn]] __attribute__((noinline)) void Raise(Args&&... args) {
  E error(std::forward<Args>(args)...);
  error.SetAddress(__builtin_return_address(0));
  throw error;
}

// Location tags are fixed GUID texts in registry form, e.g. "{0C7D3A52-...}"; each names one
// routine's handler or one check, and no two places share a tag.
using Tag = const char*;

// Appends "text, blank line, tag" and one empty line to the error log, shows the report
// dialog and ends the process when the answer is Yes. Throws EInOutError when the log cannot
// be written (then no dialog is shown).
void ReportError(const std::string& text, Tag tag);
// Reports an integrity violation when the condition is false; returns the condition.
bool CheckIntegrity(bool condition, Tag tag);
// Reports the thread's last OS error code and its text when the condition is false.
bool CheckWin32(bool condition, Tag tag);
// Reports the exception being handled (call only inside a catch block).
void ReportException(Tag tag);

// The exact texts of the reports (UTF-8 here; written in the platform's 8-bit encoding).
std::string ExceptionReportText(const std::string& type, uint64_t address,
                                const std::string& message);
std::string IntegrityText();
std::string OSErrorText(uint32_t code, const std::string& systemText);
// Path of the error log of this module.
std::string ErrorLogPath();

// Runs a routine's body; an escaping exception is reported with the routine's tag and
// rethrown unchanged, so each routine it passes through adds its own report.
template <class F>
decltype(auto) Guarded(Tag tag, F&& body) {
  try {
    return std::forward<F>(body)();
  } catch (...) {
    ReportException(tag);
    throw;
  }
}

}  // namespace quellar
