#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

#include "errors/Asserts.h"
#include "support/TestSupport.h"

namespace quellar {
namespace {

const char kTagA[] = "{6E0D3C39-8B1F-4B53-9A77-2C0E5B8F4A11}";
const char kTagB[] = "{0A4F2D6B-3E1C-47A9-B6D2-91C8E7F05D22}";
const char kTagC[] = "{C3B8E1F4-5D2A-4E6F-8B7C-1A9D0E3F6B33}";

TEST(ReportError, AppendsReportBlankLineTagAndEmptyLine) {
  test::ReportCapture capture;
  ReportError("first", kTagA);
  ReportError("second", kTagA);
  const std::string expected1 = std::string("first\r\n\r\n") + kTagA + "\r\n\r\n";
  const std::string expected2 = std::string("second\r\n\r\n") + kTagA + "\r\n\r\n";
  EXPECT_EQ(capture.Log(), expected1 + expected2);
  ASSERT_EQ(capture.Count(), 2u);
  EXPECT_EQ(capture.Messages()[0],
            std::string("Обнаружена фатальная ошибка.\r\n\r\nfirst\r\n\r\n") + kTagA +
                "\r\n\r\nЗакрыть программу?");
}

TEST(ReportError, LogIsNamedAfterModuleInTemporaryDirectory) {
  test::ReportCapture capture;
  const std::filesystem::path log = ErrorLogPath();
  EXPECT_EQ(log.parent_path(), capture.Dir());
  EXPECT_EQ(log.extension(), ".errlog");
  EXPECT_EQ(log.stem(), std::filesystem::path(platform::ModuleFileName()).stem());
}

TEST(ReportError, UnwritableLogRaisesInOutErrorWithoutDialog) {
  test::ReportCapture capture;
  std::filesystem::create_directories(ErrorLogPath());  // a directory cannot be appended to
  EXPECT_THROW(ReportError("text", kTagA), EInOutError);
  EXPECT_EQ(capture.Count(), 0u);
}

TEST(CheckIntegrity, FailedCheckReportsOnceAndLetsCodeRunOn) {
  test::ReportCapture capture;
  EXPECT_TRUE(CheckIntegrity(true, kTagA));
  EXPECT_EQ(capture.Count(), 0u);
  EXPECT_FALSE(CheckIntegrity(false, kTagB));
  EXPECT_EQ(capture.Log(),
            "Нарушение внутренней целостности программы\r\n\r\n" + std::string(kTagB) + "\r\n\r\n");
}

TEST(CheckWin32, ReportsLastErrorCodeAndSystemText) {
  test::ReportCapture capture;
  errno = ENOENT;
  EXPECT_FALSE(CheckWin32(false, kTagC));
  EXPECT_EQ(capture.Log(), OSErrorText(ENOENT, platform::SystemErrorText(ENOENT)) + "\r\n\r\n" +
                               kTagC + "\r\n\r\n");
  EXPECT_EQ(OSErrorText(2, "No such file"),
            "Ошибка функции WinAPI, код ошибки 0x00000002 - \"No such file\"");
}

TEST(ReportException, NamesTypeAddressAndMessage) {
  EXPECT_EQ(ExceptionReportText("EQuellarError", 0xABC, "boom"),
            "Исключение EQuellarError по адресу 0x00000ABC\r\n\"boom\"");
  struct Case {
    std::function<void()> thrower;
    std::regex expected;
  };
  const Case cases[] = {
      {[] { Raise<EListError>("index 7"); },
       std::regex("Исключение EListError по адресу 0x[0-9A-F]{8,16}\r\n\"index 7\"[^]*")},
      {[] { throw std::out_of_range("range"); },
       std::regex("Исключение std::out_of_range по адресу 0x00000000\r\n\"range\"[^]*")},
      {[] { throw 42; }, std::regex("Исключение unknown по адресу 0xFFFFFFFF\r\n\"unknown\"[^]*")},
  };
  for (const auto& c : cases) {
    test::ReportCapture capture;
    try {
      c.thrower();
    } catch (...) {
      ReportException(kTagA);
    }
    EXPECT_TRUE(std::regex_match(capture.Log(), c.expected)) << capture.Log();
  }
}

TEST(ReportException, OwnExceptionRecordsNonZeroThrowAddress) {
  try {
    Raise("x");
  } catch (const EQuellarError& e) {
    EXPECT_NE(e.Address(), nullptr);
  }
}

int Inner() {
  return Guarded(kTagA, []() -> int { Raise("deep failure", static_cast<int32_t>(0x80004005)); });
}
int Middle() {
  return Guarded(kTagB, [] { return Inner(); });
}

TEST(Guarded, ReportsOncePerRoutineInnermostFirstAndRethrowsUnchanged) {
  test::ReportCapture capture;
  try {
    Guarded(kTagC, [] { return Middle(); });
    FAIL() << "no exception";
  } catch (const EQuellarError& e) {
    EXPECT_STREQ(e.what(), "deep failure");
    EXPECT_EQ(e.Status(), static_cast<int32_t>(0x80004005));
  }
  ASSERT_EQ(capture.Count(), 3u);
  EXPECT_NE(capture.Messages()[0].find(kTagA), std::string::npos);
  EXPECT_NE(capture.Messages()[1].find(kTagB), std::string::npos);
  EXPECT_NE(capture.Messages()[2].find(kTagC), std::string::npos);
  EXPECT_EQ(Guarded(kTagA, [] { return 5; }), 5);
  EXPECT_EQ(capture.Count(), 3u);
}

// Every location tag in the sources must be unique: a shared tag would make reports ambiguous.
TEST(LocationTags, AreUniqueAcrossTheSources) {
  namespace fs = std::filesystem;
  const fs::path root = fs::path(QUELLAR_SOURCE_DIR);
  const std::regex tag(
      "\"\\{[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-"
      "[0-9A-Fa-f]{12}\\}\"");
  std::map<std::string, std::string> seen;
  std::vector<std::string> duplicates;
  size_t total = 0;
  for (const char* dir : {"src", "tests", "tools", "sim"}) {
    if (!fs::exists(root / dir)) continue;
    for (const auto& entry : fs::recursive_directory_iterator(root / dir)) {
      const auto ext = entry.path().extension();
      if (ext != ".cpp" && ext != ".h" && ext != ".hpp") continue;
      std::ifstream in(entry.path());
      std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      for (std::sregex_iterator it(text.begin(), text.end(), tag), end; it != end; ++it) {
        std::string value = it->str();
        for (auto& ch : value) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        ++total;
        auto [pos, inserted] = seen.emplace(value, entry.path().string());
        if (!inserted)
          duplicates.push_back(value + " in " + pos->second + " and " + entry.path().string());
      }
    }
  }
  EXPECT_GE(total, 3u);
  EXPECT_TRUE(duplicates.empty()) << ::testing::PrintToString(duplicates);
}

}  // namespace
}  // namespace quellar
