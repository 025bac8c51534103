// The pseudo-terminal server on POSIX: posix_openpt, a non-blocking master, and a self-pipe to
// wake the serving thread when it is asked to stop.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "sim/SimPty.h"

namespace quellar::sim {

namespace {

// Longest sleep between looks at the clock; also the retry period while no client is there.
constexpr int kMostWaitMs = 20;

std::string SystemError(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

TSimPtyServer::TSimPtyServer(const TSimSample& sample, const TSimLine& line,
                             const TSimFaults& faults)
    : peer_(sample, line, faults, 0), origin_(std::chrono::steady_clock::now()) {}

TSimPtyServer::~TSimPtyServer() {
  Stop();
}

int64_t TSimPtyServer::Now() const {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() -
                                                              origin_)
      .count();
}

bool TSimPtyServer::Start(const std::string& link, std::string& error) {
  if (thread_.joinable()) {
    error = "already serving";
    return false;
  }
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[256] = {};
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
      ptsname_r(master_, name, sizeof name) != 0) {
    error = SystemError("cannot open a pseudo-terminal");
    CloseFd(master_);
    return false;
  }
  slave_ = name;
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  // Raw from the start, so nothing is echoed or translated before a client sets its line.
  if (const int fd = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC); fd >= 0) {
    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
      cfmakeraw(&tio);
      tcsetattr(fd, TCSANOW, &tio);
    }
    ::close(fd);
  }
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    error = SystemError("cannot make a pipe");
    CloseFd(master_);
    return false;
  }
  if (!link.empty()) {
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0) {
      if (!S_ISLNK(st.st_mode)) {
        error = "'" + link + "' exists and is not a symbolic link";
        Stop();
        return false;
      }
      ::unlink(link.c_str());
    }
    if (symlink(name, link.c_str()) != 0) {
      error = SystemError("cannot make the link '" + link + "'");
      Stop();
      return false;
    }
    link_ = link;
  }
  stop_ = false;
  thread_ = std::thread([this] { Serve(); });
  return true;
}

void TSimPtyServer::Stop() {
  stop_ = true;
  if (wake_[1] >= 0) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_[1], &byte, 1);
  }
  if (thread_.joinable()) thread_.join();
  CloseFd(master_);
  CloseFd(wake_[0]);
  CloseFd(wake_[1]);
  if (!link_.empty()) {
    char target[PATH_MAX] = {};
    const ssize_t n = readlink(link_.c_str(), target, sizeof target - 1);
    if (n > 0 && slave_ == std::string(target, static_cast<size_t>(n))) ::unlink(link_.c_str());
    link_.clear();
  }
}

void TSimPtyServer::Serve() {
  std::vector<uint8_t> out;  // taken from the analyzer, not yet written
  uint8_t buffer[4096];
  // No client holds the slave (or the analyzer hung up): answers are dropped, and the master,
  // which then reports a hang-up at once, is looked at again every kMostWaitMs.
  bool absent = false;
  const auto receive = [&] {
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n <= 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    peer_.Input(buffer, static_cast<size_t>(n), Now());
  };
  while (!stop_) {
    int64_t next = kSimNever;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (out.empty()) {
        const size_t n = peer_.Output(buffer, sizeof buffer, Now());
        if (!absent) out.assign(buffer, buffer + n);
      }
      next = peer_.NextEvent();
      // The analyzer hangs up once what it sent is out: the client's line goes dead.
      if (peer_.HungUp() && out.empty()) CloseFd(master_);
    }
    if (master_ < 0) absent = true;
    if (!out.empty()) {
      const ssize_t n = ::write(master_, out.data(), out.size());
      if (n > 0) out.erase(out.begin(), out.begin() + n);
      if (n < 0 && errno != EAGAIN && errno != EINTR) out.clear();
    }
    // With bytes left over the wait is for the terminal to take them (POLLOUT).
    int waitMs = kMostWaitMs;
    if (!absent && out.empty() && next != kSimNever) {
      waitMs = static_cast<int>(
          std::clamp<int64_t>((next - Now() + 999'999) / 1'000'000, 0, kMostWaitMs));
    }
    pollfd fds[2] = {{wake_[0], POLLIN, 0}, {master_, POLLIN, 0}};
    if (!out.empty()) fds[1].events |= POLLOUT;
    if (::poll(fds, absent ? 1 : 2, waitMs) < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) {
      char drain[16];
      while (::read(wake_[0], drain, sizeof drain) > 0) {
      }
    }
    if (absent) {
      if (master_ < 0) continue;
      pollfd look{master_, POLLIN, 0};
      ::poll(&look, 1, 0);
      absent = (look.revents & POLLHUP) != 0;
      if (!absent && (look.revents & POLLIN)) receive();
      continue;
    }
    if (fds[1].revents & POLLIN) receive();
    if (fds[1].revents & (POLLHUP | POLLERR)) {
      absent = true;
      out.clear();
    }
  }
}

}  // namespace quellar::sim
