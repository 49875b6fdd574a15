#include "net/frame.h"

#include <cstring>

namespace zt {

void FrameParser::Append(std::string_view bytes) {
  // Drop what has been scanned before taking more, so pending_ never holds
  // more than the unscanned rest of earlier reads and this one.
  if (scanned_ > 0) {
    pending_.erase(0, scanned_);
    scanned_ = 0;
  }
  pending_.reserve(pending_.size() + bytes.size());
  for (const char c : bytes) {
    if (c != '\0') pending_.push_back(c);
  }
}

FrameParser::Result FrameParser::ExtractMessage(std::string& message) {
  const size_t end = pending_.size();
  while (scanned_ < end) {
    const char c = pending_[scanned_];
    if (c == kStx) {
      ++scanned_;
      partial_.clear();
      state_ = State::kInMessage;
      continue;
    }
    if (c == kEtx) {
      ++scanned_;
      const bool complete = state_ == State::kInMessage && !partial_.empty();
      state_ = State::kOutside;
      if (complete) {
        message.swap(partial_);
        partial_.clear();
        return Result::kMessage;
      }
      continue;
    }
    // A run of ordinary bytes up to the next frame byte, handled at once.
    size_t run_end = scanned_ + 1;
    while (run_end < end && pending_[run_end] != kStx && pending_[run_end] != kEtx) ++run_end;
    const size_t run = run_end - scanned_;
    if (state_ == State::kInMessage) {
      if (partial_.size() + run > kMaxMessageLength) {
        partial_.clear();
        partial_.shrink_to_fit();
        state_ = State::kDiscarding;
        scanned_ = run_end;
        return Result::kRefused;
      }
      partial_.append(pending_, scanned_, run);
    }
    scanned_ = run_end;
  }
  // Everything appended has been scanned: release it.
  pending_.clear();
  scanned_ = 0;
  return Result::kNeedMore;
}

void AppendFrame(std::string& out, std::string_view text) {
  const size_t start = out.size() + 1;
  out.push_back(kStx);
  out.append(text);
  // Replies almost never hold a frame byte: copy first, patch the rare ones.
  for (size_t i = start; i < out.size(); ++i) {
    const char c = out[i];
    if (c == kStx || c == kEtx || c == '\0') out[i] = '?';
  }
  out.push_back(kEtx);
}

std::string MakeFrame(std::string_view text) {
  std::string frame;
  AppendFrame(frame, text);
  return frame;
}

}  // namespace zt
