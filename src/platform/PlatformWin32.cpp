#include <windows.h>

#include "platform/Clock.h"
#include "platform/Platform.h"

namespace quellar::platform {

namespace {

class TickClock : public Clock {
 public:
  uint32_t Ticks() override { return static_cast<uint32_t>(GetTickCount()); }
  void Sleep(uint32_t ms) override { ::Sleep(ms); }
};

std::string Convert(const std::string& text, UINT from, UINT to) {
  if (text.empty()) return text;
  int wide = MultiByteToWideChar(from, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(wide), L'\0');
  MultiByteToWideChar(from, 0, text.data(), static_cast<int>(text.size()), w.data(), wide);
  int n = WideCharToMultiByte(to, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(to, 0, w.data(), wide, out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace

Clock& SystemClock() {
  static TickClock clock;
  return clock;
}

std::string ModuleFileName() {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&ModuleFileName), &module);
  char buf[MAX_PATH + 1] = {};
  DWORD n = GetModuleFileNameA(module, buf, MAX_PATH);
  return std::string(buf, n);
}

std::string TempDirectory() {
  char buf[MAX_PATH + 2] = {};
  DWORD n = GetTempPathA(MAX_PATH, buf);
  std::string dir(buf, n);
  if (dir.empty() || (dir.back() != '\\' && dir.back() != '/')) dir += '\\';
  return dir;
}

uint32_t LastErrorCode() {
  return GetLastError();
}

std::string SystemErrorText(uint32_t code) {
  char* text = nullptr;
  DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string out = n ? std::string(text, n) : std::string();
  if (text) LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return Convert(out, CP_ACP, CP_UTF8);
}

std::string To8Bit(const std::string& utf8) {
  return Convert(utf8, CP_UTF8, 1251);
}
std::string From8Bit(const std::string& text) {
  return Convert(text, CP_ACP, CP_UTF8);
}

DialogAnswer DefaultReportDialog(const std::string& caption, const std::string& message) {
  int answer = MessageBoxA(GetDesktopWindow(), To8Bit(message).c_str(), caption.c_str(),
                           MB_YESNO | MB_ICONERROR | MB_TOPMOST | MB_TASKMODAL);
  return answer == IDYES ? DialogAnswer::Yes : DialogAnswer::No;
}

void EndProcess(int code) {
  ExitProcess(static_cast<UINT>(code));
}

}  // namespace quellar::platform
