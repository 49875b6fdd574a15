// DataWindow: reads of the data file served from one window of it.
//
// A pass that reads many records in file order asks for a few bytes at a
// time; the window reads up to kWindow bytes at once around what is asked
// for, so 100,000 records take some fifty reads instead of two hundred
// thousand:
//   kAhead   the window starts at the bytes asked for (records read in
//            ascending offset order: a sort reading every row's value);
//   kBehind  the window ends at them (a chain walked from the newest record
//            back);
//   kExact   only the bytes asked for (records scattered through the file,
//            one read each).
// A read outside the window moves it.
#ifndef ZT_RECORDSET_DATA_WINDOW_H_
#define ZT_RECORDSET_DATA_WINDOW_H_

#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/file.h"

namespace zt {

class DataWindow {
 public:
  enum class Direction { kExact, kAhead, kBehind };

  // Larger than the largest record, so one window always holds a record.
  static constexpr int64_t kWindow = 256 * 1024;

  DataWindow(FileHandle file, Direction direction)
      : file_(file), direction_(direction), file_length_(FileLength(file)) {}

  // The n bytes at offset, valid until the next call; null when they are
  // not all in the file or cannot be read.
  const char* View(int64_t offset, size_t n) {
    const int64_t end = offset + static_cast<int64_t>(n);
    if (offset < 0) return nullptr;
    if (offset < start_ || end > start_ + static_cast<int64_t>(bytes_.size())) {
      int64_t begin = offset;
      int64_t stop = end;
      if (file_length_ >= 0 && end <= file_length_) {
        if (direction_ == Direction::kAhead) {
          stop = offset + kWindow > end ? offset + kWindow : end;
          if (stop > file_length_) stop = file_length_;
        } else if (direction_ == Direction::kBehind) {
          begin = end > kWindow ? end - kWindow : 0;
          if (begin > offset) begin = offset;
        }
      }
      bytes_.resize(static_cast<size_t>(stop - begin));
      if (!FileReadAt(file_, bytes_.data(), bytes_.size(), begin)) {
        bytes_.clear();
        return nullptr;
      }
      start_ = begin;
    }
    return bytes_.data() + (offset - start_);
  }

  // Copies the n bytes at offset into out; false like FileReadAt.
  bool Read(int64_t offset, void* out, size_t n) {
    const char* bytes = View(offset, n);
    if (bytes == nullptr) return false;
    std::memcpy(out, bytes, n);
    return true;
  }

 private:
  FileHandle file_;
  Direction direction_;
  int64_t file_length_;
  std::vector<char> bytes_;
  int64_t start_ = 0;
};

}  // namespace zt

#endif  // ZT_RECORDSET_DATA_WINDOW_H_
