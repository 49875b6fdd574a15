// A one-line progress report for long ztadmin work, redrawn in place on a
// terminal: "stage: done/total (percent)", or the count alone while the
// total is not known.
#ifndef ZTADMIN_PROGRESS_H_
#define ZTADMIN_PROGRESS_H_

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "engine/index_build.h"

namespace zt::admin {

class ProgressLine {
 public:
  // Nothing is drawn unless enabled (standard error is a terminal).
  ProgressLine(std::ostream& err, bool enabled) : err_(err), enabled_(enabled) {}
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;
  ~ProgressLine() { Finish(); }

  bool enabled() const { return enabled_; }
  void Show(std::string_view stage, int64_t done, int64_t total) {
    if (!enabled_) return;
    err_ << "\r\033[K" << stage << ": " << done;
    if (total > 0) err_ << "/" << total << " (" << done * 100 / total << "%)";
    err_ << std::flush;
    drawn_ = true;
  }
  // The callback form the engine's long operations take.
  ProgressFn Callback() {
    if (!enabled_) return {};
    return [this](std::string_view stage, int64_t done, int64_t total) { Show(stage, done, total); };
  }
  // Clears the line (before the command's own report).
  void Finish() {
    if (drawn_) err_ << "\r\033[K" << std::flush;
    drawn_ = false;
  }

 private:
  std::ostream& err_;
  bool enabled_;
  bool drawn_ = false;
};

}  // namespace zt::admin

#endif  // ZTADMIN_PROGRESS_H_
