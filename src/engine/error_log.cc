#include "engine/error_log.h"

#include <cstdio>

#include "engine/file.h"
#include "engine/filenames.h"

namespace zt {
namespace {

std::string& Folder() {
  static std::string folder = kDefaultWorkFolder;
  return folder;
}

}  // namespace

void SetErrorLogFolder(const std::string& folder) { Folder() = folder; }

std::string FormatTimestamp(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char text[80];  // room for any int fields, so the format can never be cut
  std::snprintf(text, sizeof text, "%04d%02d%02d-%02d:%02d:%02d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

std::string FormatTimestamp() { return FormatTimestamp(std::time(nullptr)); }

void LogError(std::string_view text) {
  std::string line = FormatTimestamp();
  line += ": ";
  line += text;
  line += '\n';
  const std::string path = ErrorLogFileName(Folder());
  if (AppendTextToFile(path, line)) return;
  // The folder may be missing (first entry, or deleted while running).
  MakeFolders(Folder());
  AppendTextToFile(path, line);
}

}  // namespace zt
