#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/Files.h"

namespace quellar::platform {

namespace {

std::string Reason(const std::string& what, const std::string& path, int code) {
  return what + " \"" + path + "\": " + std::strerror(code);
}

// Closes a descriptor on every path out.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int Close() {
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
    error = Reason("Cannot open", path, errno);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    error = Reason("Cannot read", path, EISDIR);
    return false;
  }
  std::vector<uint8_t> out;
  uint8_t chunk[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = Reason("Cannot read", path, errno);
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
  const std::string temp =
      path + ".~" + std::to_string(::getpid()) + "." + std::to_string(serial.fetch_add(1)) + ".tmp";
  // The creation mode passes through the umask like any new file's.
  Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (fd.get() < 0) {
    error = Reason("Cannot create", temp, errno);
    return false;
  }
  struct stat old {};
  if (::stat(path.c_str(), &old) == 0) ::fchmod(fd.get(), old.st_mode & 07777);
  int code = 0;
  if (!WriteAll(fd.get(), data, size) || ::fsync(fd.get()) != 0) code = errno;
  if (fd.Close() != 0 && code == 0) code = errno;
  if (code == 0 && ::rename(temp.c_str(), path.c_str()) != 0) code = errno;
  if (code != 0) {
    ::unlink(temp.c_str());
    error = Reason("Cannot write", path, code);
    return false;
  }
  return true;
}

}  // namespace quellar::platform
