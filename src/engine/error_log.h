// The error log: "<work folder>/dberrors.txt", one line per entry,
// "YYYYMMDD-HH:MM:SS: text" and a LF, in local time.
//
// Used by start-up and by the network layer for the problems an operator
// must see; the storage engine itself keeps its messages in last-error texts
// and never writes here. The file is kept open, so that entries still reach
// it when the process has run out of descriptors. It can be read, moved or
// deleted while the server runs: before each entry its name is compared
// with the file held, and once that file was moved or deleted a new one of
// the name (and its folder) is made; while no descriptor is free for it,
// entries go on into the file held. Logging never fails the caller: a line
// that cannot be written is lost.
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
//     at most twice max_bytes (while no descriptor is free for the new
//     one, the renamed file takes the entries: at most the per-second
//     bound of them).
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
// Opens the log file now (making it and its folder when missing) rather
// than at the first entry: a server does so at start, so that it holds the
// file before anything can use up its descriptors.
void OpenErrorLog();

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
