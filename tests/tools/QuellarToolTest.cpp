#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Result {
  int status;
  std::string out;
  std::string err;
};

class QuellarTool : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() /
           ("quellar-tool-" + std::to_string(::getpid()) + "-" + info->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  static std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // Runs the tool with the arguments (shell words) and standard input from a file.
  Result Run(const std::string& args, const std::string& input = "/dev/null") const {
    const fs::path out = dir_ / "stdout", err = dir_ / "stderr";
    const std::string command = std::string("'") + QUELLAR_TOOL + "' " + args + " <'" + input +
                                "' >'" + out.string() + "' 2>'" + err.string() + "'";
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, Slurp(out), Slurp(err)};
  }

  std::string WriteFile(const std::string& name, const std::vector<unsigned char>& bytes) const {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path.string();
  }

  fs::path dir_;
};

const char kWorkedCode[] =
    "38 31 31 31 31 31 79 79 79 79 79 79 79 79 F9 F9 F9 F9 F9 F9 F9 F9 E9 F9 E9 F9 E9 F9 F9 F9 "
    "F8 F8 F8 FF";
const char kWorkedItems[] = "impulse:2500:90:8000 reading:3000:1000 silence:1300";

TEST_F(QuellarTool, CompilesTheWorkedExample) {
  const Result r = Run(std::string("compile ") + kWorkedItems);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string("code: ") + kWorkedCode +
                       "\nbytes: 34\nmarks: 10600 11600 12600\nsamples: 3\nduration_ns: 14900\n"
                       "idle: false\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(QuellarTool, PrintsJsonInBothForms) {
  Result r = Run(std::string("compile --json ") + kWorkedItems);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string("{\"code\": \"") + kWorkedCode +
                       "\", \"bytes\": 34, \"marks\": [10600, 11600, 12600], \"samples\": 3, "
                       "\"duration_ns\": 14900, \"idle\": false}\n");
  // 1250 is rounded up to the code step by the model, as 1300.
  r = Run("compile --idle --json impulse:2500:90:8000 reading:3000:1000 silence:1250");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "{\"code\": \"FA FA F9 F8 E9 F9 E9 F9 E9 F9 F9 F9 F8 F8 F8 FF\", \"bytes\": 16, "
            "\"marks\": [10600, 11600, 12600], \"samples\": 3, \"duration_ns\": 14900, "
            "\"idle\": true}\n");
  r = Run("compile --json silence:100");
  EXPECT_EQ(r.out,
            "{\"code\": \"F8 FF\", \"bytes\": 2, \"marks\": [], \"samples\": 0, "
            "\"duration_ns\": 100, \"idle\": false}\n");
}

TEST_F(QuellarTool, AppliesTheClientConversionsBeforeTheModel) {
  // Ties to even (2450.5 -> 2450, then up to 2500), silence floor of 1000, 90 -> phase code 1.
  Result r = Run("compile --json impulse:2450.5:90:0");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\"code\": \"38 31 31 31 31 31 79 79 79 79 79 79 79 79 FF\""),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\"duration_ns\": 6600"), std::string::npos) << r.out;
  // 45 degrees plays at phase 0; a package repeats its items.
  r = Run("compile --json impulse:100:45:4000 package:2 reading:1000:1000 end");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\"code\": \"18 10 79 79 79 79 79 79 79 79 E9 F9 E9 F9 FF\""),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\"marks\": [4200, 5200]"), std::string::npos) << r.out;
}

TEST_F(QuellarTool, RejectsInputItCannotParse) {
  struct Case {
    const char* args;
    const char* message;
  };
  const Case cases[] = {
      {"compile impulse:abc", "'abc' is not a number"},
      {"compile impulse:1:2", "expected impulse:DURATION:PHASE:SILENCE"},
      {"compile reading:3000", "expected reading:DURATION:INTERVAL"},
      {"compile silence:", "'' is not a number"},
      {"compile silence:nan", "'nan' is not a number"},
      {"compile silence:12x", "'12x' is not a number"},
      {"compile bogus:1", "unknown item"},
      {"compile package:x silence:100 end", "not a 32-bit whole count"},
      {"compile package:3000000000 silence:100 end", "not a 32-bit whole count"},
      {"compile package:2 silence:100", "package without 'end'"},
      {"compile silence:100 end", "no package to end"},
      {"compile", "ITEM is required"},
      {"frobnicate", ""},
      {"", "A subcommand is required"},
  };
  for (const Case& c : cases) {
    const Result r = Run(c.args);
    EXPECT_EQ(r.status, 2) << c.args;
    EXPECT_EQ(r.out, "") << c.args;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
  }
}

TEST_F(QuellarTool, NamesRefusedItemsAndSaysSoInItsStatus) {
  struct Case {
    const char* args;
    int status;
    const char* code;
    const char* warning;
  };
  const Case cases[] = {
      {"compile silence:-5 silence:100", 1, "F8 FF",
       "item 1 'silence:-5' refused: duration must be above 0 ns"},
      {"compile silence:0.4", 1, "FF", "item 1 'silence:0.4' refused"},
      {"compile reading:400:1000", 1, "FF",
       "item 1 'reading:400:1000' refused: duration must be at least 500 ns"},
      {"compile reading:1000:400", 1, "FF", "interval must be at least 500 ns"},
      {"compile impulse:0:90:5000", 1, "FF", "item 1 'impulse:0:90:5000' refused"},
      {"compile silence:1e30", 1, "FF", "out of the 64-bit range"},
      {"compile package:0 silence:100 end", 1, "FF", "non-zero number of times"},
      {"compile package:-2 silence:100 end silence:500", 0, "F9 FF",
       "'package:-2' has a negative count and plays no times"},
  };
  for (const Case& c : cases) {
    const Result r = Run(std::string(c.args) + " --json");
    EXPECT_EQ(r.status, c.status) << c.args;
    EXPECT_NE(r.out.find(std::string("\"code\": \"") + c.code + "\""), std::string::npos)
        << c.args << ": " << r.out;
    EXPECT_NE(r.err.find(c.warning), std::string::npos) << c.args << ": " << r.err;
  }
}

TEST_F(QuellarTool, ReportsCodeThatDoesNotFit) {
  const Result r = Run("compile silence:1e18");
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("longer than 32767 bytes"), std::string::npos) << r.err;
}

TEST_F(QuellarTool, DisassemblesCompiledCode) {
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
  Result r = Run("disasm '" + file + "'");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, expected);
  r = Run("disasm -", file);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, expected);
}

TEST_F(QuellarTool, ReportsInvalidCodeWithItsOffset) {
  struct Case {
    std::vector<unsigned char> bytes;
    const char* message;
  };
  const Case cases[] = {
      {{0xF9, 0xF8}, "invalid program code at offset 2: no end mark"},
      {{}, "invalid program code at offset 0: no end mark"},
      {{0xF9, 0x0F, 0xFF}, "invalid program code at offset 1: delay class 7"},
      {{0xF9, 0xFF, 0x00}, "invalid program code at offset 2: data after the end mark"},
  };
  for (const Case& c : cases) {
    const Result r = Run("disasm '" + WriteFile("bad.bin", c.bytes) + "'");
    EXPECT_EQ(r.status, 4) << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  const Result missing = Run("disasm '" + (dir_ / "absent.bin").string() + "'");
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("cannot read"), std::string::npos);
}

TEST_F(QuellarTool, HelpDocumentsTheExitStatus) {
  const Result r = Run("--help");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("1 some item was refused"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("compile"), std::string::npos);
  EXPECT_NE(r.out.find("disasm"), std::string::npos);
  const Result compile = Run("compile --help");
  EXPECT_EQ(compile.status, 0);
  EXPECT_NE(compile.out.find("3 program code longer than 32767 bytes"), std::string::npos);
}

TEST_F(QuellarTool, FitsAndTransformsCsvThroughTheMathProcessor) {
  int files = 0;
  auto csv = [&](const std::string& text) {
    return WriteFile("in" + std::to_string(++files) + ".csv",
                     std::vector<unsigned char>(text.begin(), text.end()));
  };
  const std::string line = csv("x,y\n0,1\n1;3\n2 5  # comment\n\n");
  struct Case {
    std::string args;
    int status;
    std::string out, err;
  } cases[] = {
      {"fit linear '" + line + "'", 0, "model: y = A + B*x\npoints: 3\nA: 1\nB: 2\n", ""},
      {"fit linear --json '" + line + "'", 0,
       "{\"model\": \"linear\", \"formula\": \"y = A + B*x\", \"points\": 3, \"A\": 1, "
       "\"B\": 2}\n",
       ""},
      {"fft '" + csv("re\n1\n0\n0\n0\n") + "'", 0,
       "bin,re,im,amplitude\n0,0.25,0,0.25\n1,0.25,0,0.25\n2,0.25,0,0.25\n3,0.25,0,0.25\n", ""},
      {"fit cubic '" + line + "'", 2, "", "MODEL"},
      {"fit hill '" + (dir_ / "absent.csv").string() + "'", 2, "", "cannot read"},
      {"fit linear '" + csv("1,2\n1,3\n1,4\n") + "'", 1, "", "the linear fit failed on 3 points"},
      {"fit exp '" + csv("1,2\nx,y\n") + "'", 2, "", "in4.csv:2: expected 2 numbers"},
  };
  for (const Case& c : cases) {
    const Result r = Run(c.args);
    EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
    if (!c.out.empty()) {
      EXPECT_EQ(r.out, c.out) << c.args;
    }
    EXPECT_NE(r.err.find(c.err), std::string::npos) << c.args << ": " << r.err;
  }
}

}  // namespace
