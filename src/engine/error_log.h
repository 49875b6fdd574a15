// The error log: "<work folder>/dberrors.txt", one line per entry,
// "YYYYMMDD-HH:MM:SS: text" and a LF, in local time.
//
// Used by start-up and by the network layer for the problems an operator
// must see; the storage engine itself keeps its messages in last-error texts
// and never writes here. The file is opened and closed for every entry, so
// it can be read, moved or deleted while the server runs; the next entry
// recreates it (and its folder). Logging never fails the caller: a line that
// cannot be written is lost.
//
// A client can make the server log (an over-long message, a refused
// connection), so the log is bounded:
//   - a line equal to the one written last is not written again within
//     repeat_window; such repeats are counted, and the count is written as
//     "(previous line repeated N times)" before the next different line or
//     once the window has passed;
//   - at most max_lines_per_second lines are written in any second; the
//     rest are counted into "(N lines dropped: too many in one second)";
//   - a file that would pass max_bytes is renamed to dberrors.txt.1
//     (replacing the one before) and a new one is begun, so the log takes
//     at most twice max_bytes.
#ifndef ZT_ENGINE_ERROR_LOG_H_
#define ZT_ENGINE_ERROR_LOG_H_

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace zt {

// The default work folder (error log, transaction files).
inline constexpr char kDefaultWorkFolder[] = "/var/lib/ztserver/ztstrans";

// Sets the folder of the error log; the default is kDefaultWorkFolder.
void SetErrorLogFolder(const std::string& folder);

struct ErrorLogLimits {
  int repeat_window_seconds = 10;
  int max_lines_per_second = 50;
  int64_t max_bytes = 8 << 20;
};
// Replaces the limits (tests shorten them); also forgets the last line.
void SetErrorLogLimits(const ErrorLogLimits& limits);

// Appends one line. The text is written as it stands (never a format string).
void LogError(std::string_view text);

// The 17-character timestamp "YYYYMMDD-HH:MM:SS" of the given (or current)
// local time.
std::string FormatTimestamp(std::time_t when);
std::string FormatTimestamp();

}  // namespace zt

#endif  // ZT_ENGINE_ERROR_LOG_H_
