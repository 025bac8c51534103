#include "errors/Asserts.h"

#include <cinttypes>
#include <cstdio>
#include <exception>
#include <typeinfo>

#include "platform/Platform.h"

#if defined(__GNUG__)
#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#endif

namespace quellar {

namespace {

const char kCaption[] = "Error report";
const char kLogExtension[] = ".errlog";

std::string Hex8(uint64_t value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%8.8" PRIX64, value);
  return buf;
}

std::string Demangle(const char* name) {
#if defined(__GNUG__)
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> out(abi::__cxa_demangle(name, nullptr, nullptr, &status),
                                             std::free);
  if (status == 0 && out) return out.get();
#endif
  return name;
}

void AppendToLog(const std::string& report) {
  const std::string path = ErrorLogPath();
  std::FILE* f = std::fopen(path.c_str(), "ab");
  if (!f) throw EInOutError("Cannot open the error log " + path);
  const std::string entry = platform::To8Bit(report) + "\r\n\r\n";
  const bool written = std::fwrite(entry.data(), 1, entry.size(), f) == entry.size();
  const bool closed = std::fclose(f) == 0;
  if (!written || !closed) throw EInOutError("Cannot write the error log " + path);
}

}  // namespace

std::string ExceptionReportText(const std::string& type, uint64_t address,
                                const std::string& message) {
  return "Исключение " + type + " по адресу 0x" + Hex8(address) + "\r\n\"" + message + "\"";
}

std::string IntegrityText() {
  return "Нарушение внутренней целостности программы";
}

std::string OSErrorText(uint32_t code, const std::string& systemText) {
  return "Ошибка функции WinAPI, код ошибки 0x" + Hex8(code) + " - \"" + systemText + "\"";
}

std::string ErrorLogPath() {
  std::string name = platform::ModuleFileName();
  const size_t slash = name.find_last_of("/\\");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  const size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return platform::TempDirectory() + name + kLogExtension;
}

void ReportError(const std::string& text, Tag tag) {
  const std::string report = text + "\r\n\r\n" + tag;
  AppendToLog(report);
  const std::string message =
      "Обнаружена фатальная ошибка.\r\n\r\n" + report + "\r\n\r\nЗакрыть программу?";
  if (platform::ShowReportDialog(kCaption, message) == platform::DialogAnswer::Yes) {
    platform::EndProcess(1);
  }
}

bool CheckIntegrity(bool condition, Tag tag) {
  if (!condition) ReportError(IntegrityText(), tag);
  return condition;
}

bool CheckWin32(bool condition, Tag tag) {
  if (!condition) {
    const uint32_t code = platform::LastErrorCode();
    ReportError(OSErrorText(code, platform::SystemErrorText(code)), tag);
  }
  return condition;
}

void ReportException(Tag tag) {
  std::string text = ExceptionReportText("unknown", 0xFFFFFFFFu, "unknown");
  if (!std::current_exception()) {
    ReportError(text, tag);
    return;
  }
  try {
    throw;
  } catch (const EQuellarError& e) {
    text = ExceptionReportText(e.TypeName(), reinterpret_cast<uintptr_t>(e.Address()), e.what());
  } catch (const std::exception& e) {
    text = ExceptionReportText(Demangle(typeid(e).name()), 0, e.what());
  } catch (...) {
    // Not one of ours nor a standard exception: nothing to name.
  }
  ReportError(text, tag);
}

}  // namespace quellar
