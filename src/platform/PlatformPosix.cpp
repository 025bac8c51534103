#include <dlfcn.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/Clock.h"
#include "platform/Platform.h"

namespace quellar::platform {

namespace {

class MonotonicClock : public Clock {
 public:
  uint32_t Ticks() override {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                                 static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
  }
  void Sleep(uint32_t ms) override {
    if (ms == 0) {
      sched_yield();
      return;
    }
    timespec req{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&req, &req) != 0 && errno == EINTR) {
    }
  }
};

}  // namespace

Clock& SystemClock() {
  static MonotonicClock clock;
  return clock;
}

std::string ModuleFileName() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ModuleFileName), &info) != 0 && info.dli_fname) {
    return info.dli_fname;
  }
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string("quellar");
}

std::string TempDirectory() {
  const char* env = std::getenv("TMPDIR");
  std::string dir = (env && *env) ? env : "/tmp";
  if (dir.back() != '/') dir += '/';
  return dir;
}

uint32_t LastErrorCode() {
  return static_cast<uint32_t>(errno);
}

std::string SystemErrorText(uint32_t code) {
  return std::strerror(static_cast<int>(code));
}

std::string To8Bit(const std::string& utf8) {
  return utf8;
}
std::string From8Bit(const std::string& text) {
  return text;
}

DialogAnswer DefaultReportDialog(const std::string& caption, const std::string& message) {
  std::fprintf(stderr, "%s\n%s\n", caption.c_str(), message.c_str());
  std::fflush(stderr);
  return DialogAnswer::No;
}

void EndProcess(int code) {
  _exit(code);
}

}  // namespace quellar::platform
