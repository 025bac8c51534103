// The built tool's device subcommands (measure, tune, t2) on the virtual analyzer it serves
// itself, and their exit statuses for a missing port, a silent analyzer, a refused item and
// bad options.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "PtyPair.h"

namespace quellar::test {
namespace {

namespace fs = std::filesystem;

struct Result {
  int status;
  std::string out, err;
};

std::string Slurp(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class AnalyzerTool : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("quellar-analyzer-tool-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    unsetenv("QUELLAR_COM250");
  }
  void TearDown() override { fs::remove_all(dir_); }

  Result Run(const std::string& args) const {
    const fs::path out = dir_ / "stdout", err = dir_ / "stderr";
    const std::string command = std::string("cd '") + dir_.string() + "' && '" + QUELLAR_TOOL +
                                "' " + args + " >'" + out.string() + "' 2>'" + err.string() + "'";
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, Slurp(out), Slurp(err)};
  }
  // A number after "key": in a JSON line.
  static double Key(const std::string& json, const std::string& key) {
    std::smatch m;
    const std::regex pattern("\"" + key + "\": (-?[0-9.e+]+)");
    return std::regex_search(json, m, pattern) ? std::stod(m[1]) : NAN;
  }

  fs::path dir_;
};

TEST_F(AnalyzerTool, MeasuresAndTunesOnTheVirtualAnalyzer) {
  Result r = Run("--trace measure --json --runs 2 impulse:3300:0:8000 reading:20000:1000");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("{\"ok\": true, \"runs\": 2, \"samples\": 20, \"marks\": [11400, ", 0), 0u)
      << r.out;
  EXPECT_NE(r.err.find("sent     0x02: 02 00"), std::string::npos) << r.err;  // a start
  EXPECT_NE(r.err.find("received 0x03: 03 00 00"), std::string::npos) << r.err;

  r = Run("tune gain --json --sample d90=2500,amplitude=100");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("{\"ok\": true, \"gain\": ", 0), 0u) << r.out;
  EXPECT_GT(Key(r.out, "gain"), 2048);  // a weak sample needs more than the middle
  EXPECT_NE(r.err.find("gain [###"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("12/12 gain "), std::string::npos) << r.err;
}

TEST_F(AnalyzerTool, MainJobFitsTheSamplesT2) {
  const Result r = Run("t2 --json --runs 1 --relax 300 --echoes 100 --sample t2=2e7");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NEAR(Key(r.out, "t2"), 2e7, 0.05 * 2e7) << r.out;
  EXPECT_NEAR(Key(r.out, "bias_roughly"), 1700, 2) << r.out;
  EXPECT_EQ(Key(r.out, "bias_precisely"), 2047);
  const std::string csv = Slurp(dir_ / "quellar-t2.csv");
  EXPECT_EQ(csv.rfind("series,time_ns,re,im\nfid,-", 0), 0u);
  EXPECT_NE(csv.find("\ncpmg,10000"), std::string::npos);  // the first echo top, at 2 tau
}

TEST_F(AnalyzerTool, TellsFailuresApartInItsStatus) {
  const char* items = " impulse:3300:0:8000 reading:20000:1000";
  struct Case {
    std::string args;
    int status;
    const char* says;
  };
  const Case cases[] = {
      {std::string("measure --port 250") + items, 5, "cannot open COM port 250"},
      {"measure impulse:0:0:8000 reading:20000:1000", 1, "refused"},
      {"measure --sample bogus=1" + std::string(items), 2, "bogus"},
      {"measure --port 3 --sim" + std::string(items), 2, "excludes"},
      {"tune sideways", 2, "sideways"},
      {"tune period --from 1000 --to 2000", 2, "110000"},
      {"tune gain --port 3", 2, "--d90"},
  };
  for (const Case& c : cases) {
    const Result r = Run(c.args);
    EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << c.args << "\n" << r.err;
  }
  // A line where nobody answers: the first transaction's three attempts, then status 6.
  PtyPair silent;
  ASSERT_TRUE(silent.Ok());
  setenv("QUELLAR_COM250", silent.SlavePath().c_str(), 1);
  const Result r = Run(std::string("measure --port 250") + items);
  unsetenv("QUELLAR_COM250");
  EXPECT_EQ(r.status, 6) << r.err;
  EXPECT_NE(r.err.find("no analyzer answers on COM port 250"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace quellar::test
