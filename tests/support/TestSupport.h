#pragma once
// Shared test fixtures: captures error reports instead of printing them, and points the
// error log at a private temporary directory.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "errors/Asserts.h"
#include "platform/Platform.h"

namespace quellar::test {

// Collects every report dialog message; answers No so the code under test runs on.
class ReportCapture {
 public:
  ReportCapture() {
    namespace fs = std::filesystem;
    const char* base = std::getenv("QUELLAR_TEST_TMP");
    fs::path root = base ? fs::path(base) : fs::temp_directory_path() / "quellar-tests";
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = root / (info ? std::string(info->test_suite_name()) + "." + info->name() : "any");
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    const char* old = std::getenv("TMPDIR");
    hadTmp_ = old != nullptr;
    if (old) oldTmp_ = old;
    setenv("TMPDIR", dir_.c_str(), 1);
    platform::SetReportHandler([this](const std::string&, const std::string& message) {
      messages_.push_back(message);
      return platform::DialogAnswer::No;
    });
  }
  ~ReportCapture() {
    platform::SetReportHandler(nullptr);
    if (hadTmp_)
      setenv("TMPDIR", oldTmp_.c_str(), 1);
    else
      unsetenv("TMPDIR");
  }
  ReportCapture(const ReportCapture&) = delete;
  ReportCapture& operator=(const ReportCapture&) = delete;

  const std::vector<std::string>& Messages() const { return messages_; }
  size_t Count() const { return messages_.size(); }
  std::string Log() const {
    std::ifstream in(ErrorLogPath(), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  const std::filesystem::path& Dir() const { return dir_; }

 private:
  std::filesystem::path dir_;
  std::string oldTmp_;
  bool hadTmp_ = false;
  std::vector<std::string> messages_;
};

}  // namespace quellar::test
