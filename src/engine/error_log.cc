#include "engine/error_log.h"

#include <chrono>
#include <cstdio>

#include "engine/file.h"
#include "engine/filenames.h"

namespace zt {
namespace {

std::string& Folder() {
  static std::string folder = kDefaultWorkFolder;
  return folder;
}

// What the bounds remember between lines (one log per process, one thread).
struct LogState {
  ErrorLogLimits limits;
  std::string last_text;
  int64_t last_written_ms = 0;  // when last_text was written
  uint64_t repeats = 0;         // of last_text, not written
  int64_t second = -1;          // the second lines_in_second counts
  int lines_in_second = 0;
  uint64_t dropped = 0;  // over the per-second bound, not written
};

LogState& State() {
  static LogState state;
  return state;
}

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The log file, kept open from its first line (or from OpenErrorLog) on,
// so that a line can be written when the process has no descriptor to
// spare: running out of them is among what the log must tell. Before each
// line the path is compared with the file held (FileIsAt); once that file
// was renamed or removed (our rotation below, logrotate, an operator) the
// path is opened anew. While it cannot be (no descriptors), the lines go on
// into the file held: moved aside rather than lost.
class LogFile {
 public:
  // The descriptor the next line of folder's log goes to; kNoFile when
  // none could be had.
  FileHandle For(const std::string& folder) {
    const std::string path = ErrorLogFileName(folder);
    if (file_.is_open() && path == path_ && FileIsAt(file_.handle(), path)) {
      return file_.handle();
    }
    File file;
    if (!file.OpenAppend(path)) {
      // The folder may be missing (first entry, or deleted while running).
      MakeFolders(folder);
      if (!file.OpenAppend(path) && path == path_) return file_.handle();
    }
    file_ = std::move(file);
    path_ = path;
    return file_.handle();
  }

 private:
  File file_;
  std::string path_;  // the name file_ was opened under
};

LogFile& OpenLog() {
  static auto* log = new LogFile();  // never closed: lines may come until the very end
  return *log;
}

// Writes one line, starting a new file first when this one is full.
void WriteLine(std::string_view text) {
  std::string line = FormatTimestamp();
  line += ": ";
  line += text;
  line += '\n';
  FileHandle file = OpenLog().For(Folder());
  if (file == kNoFile) return;
  const int64_t length = FileLength(file);
  if (length > 0 && length + static_cast<int64_t>(line.size()) > State().limits.max_bytes) {
    // Losing the older half beats filling the disk. The file held is now
    // the older half; For notices and opens a new one (or, without
    // descriptors, goes on with the older half).
    const std::string path = ErrorLogFileName(Folder());
    static_cast<void>(RenamePath(path, path + ".1"));
    file = OpenLog().For(Folder());
  }
  static_cast<void>(FileAppendText(file, line));
}

void WriteRepeats(LogState& state) {
  if (state.repeats == 0) return;
  WriteLine("(previous line repeated " + std::to_string(state.repeats) + " times)");
  state.repeats = 0;
}

}  // namespace

void SetErrorLogLimits(const ErrorLogLimits& limits) {
  State() = LogState{};
  State().limits = limits;
}

void SetErrorLogFolder(const std::string& folder) { Folder() = folder; }

void OpenErrorLog() { static_cast<void>(OpenLog().For(Folder())); }

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
  LogState& state = State();
  const int64_t now = SteadyMs();
  if (text == state.last_text &&
      now - state.last_written_ms < int64_t{state.limits.repeat_window_seconds} * 1000) {
    ++state.repeats;
    return;
  }
  if (now / 1000 != state.second) {
    state.second = now / 1000;
    state.lines_in_second = 0;
  }
  if (state.lines_in_second >= state.limits.max_lines_per_second) {
    ++state.dropped;
    return;
  }
  state.lines_in_second += 1;
  if (state.dropped > 0) {
    WriteLine("(" + std::to_string(state.dropped) + " lines dropped: too many in one second)");
    state.dropped = 0;
  }
  WriteRepeats(state);
  WriteLine(text);
  state.last_text.assign(text);
  state.last_written_ms = now;
}

}  // namespace zt
