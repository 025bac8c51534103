#include <mutex>

#include "platform/Platform.h"

namespace quellar::platform {

DialogAnswer DefaultReportDialog(const std::string& caption, const std::string& message);

namespace {
std::mutex g_handlerLock;
ReportHandler g_handler;
}  // namespace

void SetReportHandler(ReportHandler handler) {
  std::lock_guard<std::mutex> lock(g_handlerLock);
  g_handler = std::move(handler);
}

DialogAnswer ShowReportDialog(const std::string& caption, const std::string& message) {
  ReportHandler handler;
  {
    std::lock_guard<std::mutex> lock(g_handlerLock);
    handler = g_handler;
  }
  return handler ? handler(caption, message) : DefaultReportDialog(caption, message);
}

}  // namespace quellar::platform
