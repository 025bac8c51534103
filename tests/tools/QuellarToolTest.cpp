// The built tool: compile, disasm, fit and fft, and the device subcommands (measure, tune, t2) on
// the virtual analyzer it serves itself, with the exit status of each kind of failure.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
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
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

class QuellarTool : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() /
           ("quellar-tool-" + std::to_string(getpid()) + "-" + info->name());
    fs::create_directories(dir_);
    unsetenv("QUELLAR_COM250");
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs the tool in dir_ with the arguments (shell words).
  Result Run(const std::string& args) const {
    const fs::path out = dir_ / "stdout", err = dir_ / "stderr";
    const std::string command = "cd '" + dir_.string() + "' && '" + QUELLAR_TOOL + "' </dev/null " +
                                args + " >'" + out.string() + "' 2>'" + err.string() + "'";
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, Slurp(out), Slurp(err)};
  }

  std::string WriteFile(const std::string& name, const std::string& bytes) const {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
  }

  // A number after "key": in a JSON line.
  static double Key(const std::string& json, const std::string& key) {
    const size_t at = json.find("\"" + key + "\": ");
    return at == std::string::npos ? NAN : std::stod(json.substr(at + key.size() + 4));
  }

  fs::path dir_;
};

const char kWorkedItems[] = "impulse:2500:90:8000 reading:3000:1000 silence:1300";

TEST_F(QuellarTool, CompilesTheWorkedExampleAndDisassemblesItFromAFileOrAPipe) {
  Result r = Run(std::string("compile ") + kWorkedItems);
  EXPECT_EQ(r.out,
            "code: 38 31 31 31 31 31 79 79 79 79 79 79 79 79 F9 F9 F9 F9 F9 F9 F9 F9 E9 F9 E9 F9 "
            "E9 F9 F9 F9 F8 F8 F8 FF\nbytes: 34\nmarks: 10600 11600 12600\nsamples: 3\n"
            "duration_ns: 14900\nidle: false\n");
  // 1250 is rounded up to the code step by the model, as 1300.
  r = Run("compile --idle --json impulse:2500:90:8000 reading:3000:1000 silence:1250");
  EXPECT_EQ(r.out, R"({"code": "FA FA F9 F8 E9 F9 E9 F9 E9 F9 F9 F9 F8 F8 F8 FF", "bytes": 16, )"
                   R"("marks": [10600, 11600, 12600], "samples": 3, "duration_ns": 14900, )"
                   R"("idle": true})"
                   "\n");
  const std::string file = (dir_ / "worked.bin").string();
  ASSERT_EQ(Run(std::string("compile -o '") + file + "' " + kWorkedItems).status, 0);
  const std::string expected =
      "  offset       start_ns    length_ns  period\n"
      "       0              0          100  lead-in (phase 90 set)\n"
      "       1            100         2500  impulse at 90\n"
      "       6           2600         4000  tail\n"
      "      14           6600         4000  silence\n"
      "      22          10600          500  strobe, sample 1\n"
      "      23          11100          500  silence\n"
      "      24          11600          500  strobe, sample 2\n"
      "      25          12100          500  silence\n"
      "      26          12600          500  strobe, sample 3\n"
      "      27          13100         1800  silence\n"
      "      33          14900               end mark (34 bytes, 3 samples)\n";
  for (const std::string& args :
       {"disasm '" + file + "'",
        std::string("compile -o - ") + kWorkedItems + " | '" + QUELLAR_TOOL + "' disasm -"}) {
    r = Run(args);
    EXPECT_EQ(r.status, 0) << args;
    EXPECT_EQ(r.out, expected) << args;
  }
}

// Each command line with its exit status, what standard output holds and what standard error
// must hold ("" for nothing at all). A usage error (status 2) prints nothing on standard output.
TEST_F(QuellarTool, AnswersEachKindOfCommandLineWithItsStatus) {
  const std::string line = WriteFile("line.csv", "x,y\n0,1\n1;3\n2 5  # comment\n\n");
  const std::string code = WriteFile("code.bin", "\xF9\xFF");
  const std::string items = " impulse:3300:0:8000 reading:20000:1000";
  const struct {
    std::string args;
    int status;
    std::string out, err;
  } cases[] = {
      // Ties to even (2450.5 -> 2450, then up to 2500), silence floor of 1000.
      {"compile --json impulse:2450.5:90:0", 0,
       R"("code": "38 31 31 31 31 31 79 79 79 79 79 79 79 79 FF")", ""},
      {"compile --json package:2 reading:1000:1000 end", 0, R"("code": "E9 F9 E9 F9 FF")", ""},
      // Parsed as an integer: as a double it would round to 2^63 and be out of range.
      {"compile silence:9223372036854775700", 3, "", "longer than 32767 bytes"},
      {"compile --json impulse:100:45:4000", 1, R"("code": "18 10 79 79 79 79 79 79 79 79 FF")",
       "item 1 'impulse:100:45:4000' has phase 45, which plays as 0"},
      {"compile --json reading:500:1000", 1, R"("code": "F9 FF")",
       "item 1 'reading:500:1000' takes no sample: its interval is longer than its duration"},
      {"compile --json package:-1 silence:100 end silence:500", 1, R"("code": "F9 FF")",
       "item 1 'package:-1' has a negative count and plays no times"},
      {"compile --json silence:-5 silence:100", 1, R"("code": "F8 FF")",
       "item 1 'silence:-5' refused: duration must be above 0 ns (it is -5)"},
      {"compile --json reading:400:1000", 1, R"("code": "FF")",
       "item 1 'reading:400:1000' refused: duration must be at least 500 ns after rounding up "
       "to 100 ns (it is 400)"},
      {"compile impulse:100:0:9223372036854775807", 1, "",
       "refused: silence is too large to round up to the 100 ns step"},
      {"compile --json silence:1e30", 1, R"("code": "FF")",
       "refused: a value is out of the 64-bit range"},
      {"compile silence:9223372036854775808", 1, "", "refused: a value is out of the 64-bit range"},
      {"compile package:0 silence:100 end", 1, "", "must repeat a non-zero number of times"},
      {"compile impulse:abc:90:1000", 2, "", "'abc' is not a number"},
      {"compile impulse:1:2", 2, "", "expected impulse:DURATION:PHASE:SILENCE"},
      {"compile reading:3000", 2, "", "expected reading:DURATION:INTERVAL"},
      {"compile silence:", 2, "", "'' is not a number"},
      {"compile silence:nan", 2, "", "'nan' is not a number"},
      {"compile bogus:1", 2, "", "unknown item"},
      {"compile package:2.5 silence:100 end", 2, "", "not a 32-bit whole count"},
      {"compile package:3000000000 silence:100 end", 2, "", "not a 32-bit whole count"},
      {"compile package:2 silence:100", 2, "", "package without 'end'"},
      {"compile silence:100 end", 2, "", "no package to end"},
      {"compile", 2, "", "ITEM is required"},
      {"", 2, "", "A subcommand is required"},
      {"disasm '" + code + "' compile silence:100", 2, "", "compile"},
      {"disasm '" + dir_.string() + "'", 2, "", "cannot read"},
      {"disasm '" + (dir_ / "absent.bin").string() + "'", 2, "", "cannot read"},
      {"disasm '" + WriteFile("bad.bin", "\xF9\x0F\xFF") + "'", 4, "",
       "invalid program code at offset 1: delay class 7"},
      {"fit linear '" + line + "'", 0, "model: y = A + B*x\npoints: 3\nA: 1\nB: 2\n", ""},
      {"fit linear --json '" + line + "'", 0,
       R"({"model": "linear", "formula": "y = A + B*x", "points": 3, "A": 1, "B": 2})", ""},
      {"fft '" + WriteFile("impulse.csv", "re\n1\n0\n0\n0\n") + "'", 0,
       "bin,re,im,amplitude\n0,0.25,0,0.25\n1,0.25,0,0.25\n2,0.25,0,0.25\n3,0.25,0,0.25\n", ""},
      {"fit cubic '" + line + "'", 2, "", "MODEL"},
      {"fit hill '" + (dir_ / "absent.csv").string() + "'", 2, "", "cannot read"},
      {"fit linear '" + WriteFile("equal.csv", "1,2\n1,3\n1,4\n") + "'", 1, "",
       "the linear fit failed on 3 points"},
      {"fit exp '" + WriteFile("bad.csv", "1,2\nx,y\n") + "'", 2, "",
       "bad.csv:2: expected 2 numbers"},
      {"measure --port 250" + items, 5, "", "cannot open COM port 250"},
      {"measure impulse:0:0:8000 reading:20000:1000", 1, "", "refused"},
      {"measure --sample bogus=1" + items, 2, "", "bogus"},
      {"measure --port 3 --sim" + items, 2, "", "excludes"},
      {"tune sideways", 2, "", "sideways"},
      {"tune period --from 1000 --to 2000", 2, "", "110000"},
      {"tune gain --port 3", 2, "", "--d90"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const Result r = Run(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
    EXPECT_TRUE(c.status != 2 || r.out.empty()) << r.out;
    EXPECT_TRUE(c.err.empty() ? r.err.empty() : r.err.find(c.err) != std::string::npos) << r.err;
  }
}

TEST_F(QuellarTool, MeasuresTunesAndFitsT2OnTheVirtualAnalyzer) {
  Result r = Run("--trace measure --json --runs 2 impulse:3300:0:8000 reading:20000:1000");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("{\"ok\": true, \"runs\": 2, \"samples\": 20, \"marks\": [11400, ", 0), 0u)
      << r.out;
  EXPECT_NE(r.err.find("sent     0x02: 02 00"), std::string::npos) << r.err;  // a start
  EXPECT_NE(r.err.find("received 0x03: 03 00 00"), std::string::npos) << r.err;

  r = Run("tune gain --json --sample d90=2500,amplitude=100");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_GT(Key(r.out, "gain"), 2048);  // a weak sample needs more than the middle
  EXPECT_NE(r.err.find("gain [###"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("12/12 gain "), std::string::npos) << r.err;

  r = Run("t2 --json --runs 1 --relax 300 --echoes 100 --sample t2=2e7");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NEAR(Key(r.out, "t2"), 2e7, 0.05 * 2e7) << r.out;
  EXPECT_NEAR(Key(r.out, "bias_roughly"), 1700, 2) << r.out;
  EXPECT_EQ(Key(r.out, "bias_precisely"), 2047);
  const std::string csv = Slurp(dir_ / "quellar-t2.csv");
  EXPECT_EQ(csv.rfind("series,time_ns,re,im\nfid,-", 0), 0u);
  EXPECT_NE(csv.find("\ncpmg,10000"), std::string::npos);  // the first echo top, at 2 tau
}

// A line where nobody answers: the first transaction's three attempts, then status 6.
TEST_F(QuellarTool, GivesUpWithStatus6WhenNoAnalyzerAnswers) {
  PtyPair silent;
  ASSERT_TRUE(silent.Ok());
  setenv("QUELLAR_COM250", silent.SlavePath().c_str(), 1);
  const Result r = Run("measure --port 250 impulse:3300:0:8000 reading:20000:1000");
  EXPECT_EQ(r.status, 6) << r.err;
  EXPECT_NE(r.err.find("no analyzer answers on COM port 250"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace quellar::test
