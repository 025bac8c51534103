#pragma once
// A pseudo-terminal pair standing in for a serial line: the transport opens the slave by
// path (DRIVER_DEVICE=...), the test plays the analyzer on the master.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace quellar::test {

class PtyPair {
 public:
  PtyPair() {
    char name[256] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) return;
    path_ = name;
    termios tio{};
    tcgetattr(slave_, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave_, TCSANOW, &tio);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~PtyPair() {
    CloseMaster();
    if (slave_ >= 0) close(slave_);
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool Ok() const { return master_ >= 0 && slave_ >= 0; }
  int Master() const { return master_; }
  // The test's own descriptor of the slave side (for termios and queue checks).
  int Slave() const { return slave_; }
  const std::string& SlavePath() const { return path_; }
  std::string Parameters() const { return "DRIVER_DEVICE=" + path_; }
  // The analyzer hangs up.
  void CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

  bool Send(const std::vector<uint8_t>& bytes) { return WriteAll(master_, bytes, 5000); }
  // What the transport sent, until at least `count` bytes came or timeoutMs passed.
  std::vector<uint8_t> Receive(size_t count, int timeoutMs = 5000) {
    std::vector<uint8_t> out;
    for (const auto end = Deadline(timeoutMs); out.size() < count && MsLeft(end) > 0;) {
      pollfd pfd{master_, POLLIN, 0};
      if (poll(&pfd, 1, MsLeft(end)) <= 0) continue;
      uint8_t buf[4096];
      const ssize_t n = read(master_, buf, sizeof buf);
      if (n > 0) out.insert(out.end(), buf, buf + n);
      if (n < 0 && errno != EAGAIN && errno != EINTR) break;
    }
    return out;
  }

  static bool WriteAll(int fd, const std::vector<uint8_t>& bytes, int timeoutMs) {
    const auto end = Deadline(timeoutMs);
    for (size_t done = 0; done < bytes.size();) {
      const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if ((n < 0 && errno != EAGAIN && errno != EINTR) || MsLeft(end) <= 0) {
        return false;
      } else {
        pollfd pfd{fd, POLLOUT, 0};
        poll(&pfd, 1, MsLeft(end));
      }
    }
    return true;
  }

 private:
  using Clock = std::chrono::steady_clock;
  static Clock::time_point Deadline(int ms) { return Clock::now() + std::chrono::milliseconds(ms); }
  static int MsLeft(Clock::time_point end) {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
  }

  int master_ = -1, slave_ = -1;
  std::string path_;
};

}  // namespace quellar::test
