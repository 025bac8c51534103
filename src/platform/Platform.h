#pragma once
// Operating-system seams shared by several layers: the module's own file, the temporary
// directory, OS error codes and texts, the 8-bit text encoding and the report dialog.
#include <cstdint>
#include <functional>
#include <string>

namespace quellar::platform {

// Full path of the module (shared library or executable) that contains this code.
std::string ModuleFileName();

// The user's temporary directory, always ending in a path separator.
std::string TempDirectory();

// The calling thread's last OS error code and the system's text for a code.
uint32_t LastErrorCode();
std::string SystemErrorText(uint32_t code);

// Converts UTF-8 text into the platform's 8-bit encoding for logs and dialogs:
// Windows-1251 on Windows, UTF-8 (unchanged) elsewhere.
std::string To8Bit(const std::string& utf8);
// Converts text of the platform's 8-bit encoding (identification texts, file names) into UTF-8.
std::string From8Bit(const std::string& text);

enum class DialogAnswer { No, Yes };

// The report dialog: shows a modal question with Yes and No. On Windows it is the top-most
// message box; elsewhere a replaceable handler whose default writes to standard error and
// answers No, so the library never ends its host by itself.
using ReportHandler =
    std::function<DialogAnswer(const std::string& caption, const std::string& message)>;
void SetReportHandler(ReportHandler handler);  // empty handler restores the default
DialogAnswer ShowReportDialog(const std::string& caption, const std::string& message);

// Ends the whole process at once with the exit code.
[[noreturn]] void EndProcess(int code);

}  // namespace quellar::platform
