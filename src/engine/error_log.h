// The error log: "<work folder>/dberrors.txt", one line per entry,
// "YYYYMMDD-HH:MM:SS: text" and a LF, in local time.
//
// Used by start-up and by the network layer for the problems an operator
// must see; the storage engine itself keeps its messages in last-error texts
// and never writes here. The file is opened and closed for every entry, so
// it can be read, moved or deleted while the server runs; the next entry
// recreates it (and its folder). Logging never fails the caller: a line that
// cannot be written is lost.
#ifndef ZT_ENGINE_ERROR_LOG_H_
#define ZT_ENGINE_ERROR_LOG_H_

#include <ctime>
#include <string>
#include <string_view>

namespace zt {

// The default work folder (error log, transaction files).
inline constexpr char kDefaultWorkFolder[] = "/var/lib/ztserver/ztstrans";

// Sets the folder of the error log; the default is kDefaultWorkFolder.
void SetErrorLogFolder(const std::string& folder);

// Appends one line. The text is written as it stands (never a format string).
void LogError(std::string_view text);

// The 17-character timestamp "YYYYMMDD-HH:MM:SS" of the given (or current)
// local time.
std::string FormatTimestamp(std::time_t when);
std::string FormatTimestamp();

}  // namespace zt

#endif  // ZT_ENGINE_ERROR_LOG_H_
