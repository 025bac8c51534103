#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>

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
  EXPECT_EQ(capture.Log(),
            std::string("first\r\n\r\n") + kTagA + "\r\n\r\nsecond\r\n\r\n" + kTagA + "\r\n\r\n");
  ASSERT_EQ(capture.Count(), 2u);
  EXPECT_EQ(capture.Messages()[0],
            std::string("Обнаружена фатальная ошибка.\r\n\r\nfirst\r\n\r\n") + kTagA +
                "\r\n\r\nЗакрыть программу?");
}

TEST(ReportError, LogIsNamedAfterModuleAndUnwritableLogRaisesWithoutDialog) {
  test::ReportCapture capture;
  const std::filesystem::path log = ErrorLogPath();
  EXPECT_EQ(log.parent_path(), capture.Dir());
  EXPECT_EQ(log.extension(), ".errlog");
  EXPECT_EQ(log.stem(), std::filesystem::path(platform::ModuleFileName()).stem());
  std::filesystem::create_directories(log);  // a directory cannot be appended to
  EXPECT_THROW(ReportError("text", kTagA), EInOutError);
  EXPECT_EQ(capture.Count(), 0u);
}

TEST(CheckIntegrity, FailedChecksReportOnceAndLetCodeRunOn) {
  test::ReportCapture capture;
  EXPECT_TRUE(CheckIntegrity(true, kTagA));
  EXPECT_TRUE(CheckWin32(true, kTagA));
  EXPECT_EQ(capture.Count(), 0u);
  EXPECT_FALSE(CheckIntegrity(false, kTagB));
  errno = ENOENT;
  EXPECT_FALSE(CheckWin32(false, kTagC));
  EXPECT_EQ(capture.Log(), "Нарушение внутренней целостности программы\r\n\r\n" +
                               std::string(kTagB) + "\r\n\r\n" +
                               OSErrorText(ENOENT, platform::SystemErrorText(ENOENT)) + "\r\n\r\n" +
                               kTagC + "\r\n\r\n");
  EXPECT_EQ(OSErrorText(2, "No such file"),
            "Ошибка функции WinAPI, код ошибки 0x00000002 - \"No such file\"");
}

TEST(ReportException, NamesTypeAddressAndMessage) {
  const std::pair<std::function<void()>, std::regex> cases[] = {
      // Our own exceptions record where they were raised.
      {[] { Raise<EListError>("index 7"); },
       std::regex("Исключение EListError по адресу 0x(?!0+\r)[0-9A-F]{8,16}\r\n\"index 7\"[^]*")},
      {[] { throw std::out_of_range("range"); },
       std::regex("Исключение std::out_of_range по адресу 0x00000000\r\n\"range\"[^]*")},
      {[] { throw 42; }, std::regex("Исключение unknown по адресу 0xFFFFFFFF\r\n\"unknown\"[^]*")},
  };
  for (const auto& [thrower, expected] : cases) {
    test::ReportCapture capture;
    try {
      thrower();
    } catch (...) {
      ReportException(kTagA);
    }
    EXPECT_TRUE(std::regex_match(capture.Log(), expected)) << capture.Log();
  }
}

TEST(Guarded, ReportsOncePerRoutineInnermostFirstAndRethrowsUnchanged) {
  test::ReportCapture capture;
  const auto inner = [] {
    return Guarded(kTagA, []() -> int { Raise("deep failure", static_cast<int32_t>(0x80004005)); });
  };
  try {
    Guarded(kTagC, [&] { return Guarded(kTagB, inner); });
    FAIL() << "no exception";
  } catch (const EQuellarError& e) {
    EXPECT_STREQ(e.what(), "deep failure");
    EXPECT_EQ(e.Status(), static_cast<int32_t>(0x80004005));
  }
  ASSERT_EQ(capture.Count(), 3u);
  const char* tags[] = {kTagA, kTagB, kTagC};  // innermost first
  for (size_t i = 0; i < 3; ++i) EXPECT_NE(capture.Messages()[i].find(tags[i]), std::string::npos);
  EXPECT_EQ(Guarded(kTagA, [] { return 5; }), 5);
  EXPECT_EQ(capture.Count(), 3u);
}

// A tag shared by two places would make reports ambiguous.
TEST(LocationTags, AreUniqueAcrossTheSources) {
  const std::regex tag("\"\\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\\}\"", std::regex::icase);
  std::map<std::string, std::string> seen;
  for (const char* dir : {"src", "tests", "tools", "sim"}) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(
             std::string(QUELLAR_SOURCE_DIR) + "/" + dir)) {
      const auto ext = entry.path().extension();
      if (ext != ".cpp" && ext != ".h") continue;
      std::ifstream in(entry.path());
      const std::string text{std::istreambuf_iterator<char>(in), {}};
      for (std::sregex_iterator it(text.begin(), text.end(), tag), end; it != end; ++it) {
        std::string value = it->str();
        for (char& ch : value) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        const auto [at, fresh] = seen.emplace(value, entry.path().string());
        EXPECT_TRUE(fresh) << value << " in " << at->second << " and " << entry.path().string();
      }
    }
  }
  EXPECT_GE(seen.size(), 3u);
}

}  // namespace
}  // namespace quellar
