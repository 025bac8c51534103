#include <windows.h>

#include <atomic>

#include "platform/Files.h"
#include "platform/Platform.h"

namespace quellar::platform {

namespace {

// File names go to the wide functions, so any name the client can spell reaches the file.
std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string Reason(const std::string& what, const std::string& path, DWORD code) {
  return what + " \"" + path + "\": " + SystemErrorText(code);
}

class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  BOOL Close() {
    const BOOL ok = CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
    return ok;
  }

 private:
  HANDLE h_;
};

}  // namespace

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
  Handle file(CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    error = Reason("Cannot open", path, GetLastError());
    return false;
  }
  std::vector<uint8_t> out;
  uint8_t chunk[65536];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(file.get(), chunk, sizeof chunk, &n, nullptr)) {
      error = Reason("Cannot read", path, GetLastError());
      return false;
    }
    if (n == 0) break;
    out.insert(out.end(), chunk, chunk + n);
  }
  bytes.swap(out);
  return true;
}

bool ReplaceFile(const std::string& path, const uint8_t* data, size_t size, std::string& error) {
  static std::atomic<unsigned> serial{0};
  const std::string temp = path + ".~" + std::to_string(GetCurrentProcessId()) + "." +
                           std::to_string(serial.fetch_add(1)) + ".tmp";
  const std::wstring wideTemp = Wide(temp);
  Handle file(CreateFileW(wideTemp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    error = Reason("Cannot create", temp, GetLastError());
    return false;
  }
  DWORD code = 0;
  while (size > 0 && code == 0) {
    const DWORD part = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(file.get(), data, part, &written, nullptr) || written == 0) {
      code = GetLastError();
      if (code == 0) code = ERROR_WRITE_FAULT;
    }
    data += written;
    size -= written;
  }
  if (code == 0 && !FlushFileBuffers(file.get())) code = GetLastError();
  if (!file.Close() && code == 0) code = GetLastError();
  if (code == 0 && !MoveFileExW(wideTemp.c_str(), Wide(path).c_str(),
                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    code = GetLastError();
  if (code != 0) {
    DeleteFileW(wideTemp.c_str());
    error = Reason("Cannot write", path, code);
    return false;
  }
  return true;
}

}  // namespace quellar::platform
