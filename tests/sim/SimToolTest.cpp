// quellar sim, the built binary: serves the serial transport in real time until SIGTERM.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "device/DrvController.h"

namespace quellar::test {
namespace {

namespace fs = std::filesystem;

TEST(QuellarSim, ServesUntilTerminated) {
  const fs::path link =
      fs::temp_directory_path() / ("quellar-sim-tool-" + std::to_string(getpid()));
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t child = fork();
  if (child == 0) {
    dup2(out[1], STDOUT_FILENO);
    execl(QUELLAR_TOOL, "quellar", "sim", "--link", link.c_str(), "--sample", "gain=777",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string port;  // the first line written, waiting at most 10 s for each byte
  pollfd pfd{out[0], POLLIN, 0};
  for (char c = 0; poll(&pfd, 1, 10000) > 0 && read(out[0], &c, 1) == 1 && c != '\n';) port += c;
  close(out[0]);
  ASSERT_EQ(port.rfind("port: /dev/pts/", 0), 0u) << port;
  {
    device::TDriverHardwareRS232 serial;
    ASSERT_TRUE(serial.Open("DRIVER_DEVICE=" + link.string()));
    device::TDriverController controller(&serial);
    ASSERT_TRUE(controller.Handshake());
    ASSERT_TRUE(controller.UpdateState());
    EXPECT_EQ(controller.State().Magnetic.Gain, 777);
  }
  kill(child, SIGTERM);
  int status = -1;
  for (int i = 0; i < 1000 && waitpid(child, &status, WNOHANG) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(fs::is_symlink(link));
}

}  // namespace
}  // namespace quellar::test
