// DataWindow: reads of the data file served from one window of it.
//
// A pass that reads many records in ascending offset order (a sort reading
// every row's value) asks for a few bytes at a time; the window reads
// kWindow bytes ahead at once, so 100,000 records take some fifty reads
// instead of two hundred thousand. A read outside the window moves it.
#ifndef ZT_RECORDSET_DATA_WINDOW_H_
#define ZT_RECORDSET_DATA_WINDOW_H_

#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/file.h"

namespace zt {

class DataWindow {
 public:
  explicit DataWindow(FileHandle file) : file_(file), file_length_(FileLength(file)) {}

  // Copies the n bytes at offset into out; false when they are not all in
  // the file (or cannot be read), like FileReadAt.
  bool Read(int64_t offset, void* out, size_t n) {
    const int64_t end = offset + static_cast<int64_t>(n);
    if (offset < 0 || end > file_length_) return FileReadAt(file_, out, n, offset) != 0;
    if (offset < start_ || end > start_ + static_cast<int64_t>(bytes_.size())) {
      int64_t stop =
          offset + (static_cast<int64_t>(n) > kWindow ? static_cast<int64_t>(n) : kWindow);
      if (stop > file_length_) stop = file_length_;
      bytes_.resize(static_cast<size_t>(stop - offset));
      if (!FileReadAt(file_, bytes_.data(), bytes_.size(), offset)) {
        bytes_.clear();
        return false;
      }
      start_ = offset;
    }
    std::memcpy(out, bytes_.data() + (offset - start_), n);
    return true;
  }

 private:
  static constexpr int64_t kWindow = 256 * 1024;

  FileHandle file_;
  int64_t file_length_;
  std::vector<char> bytes_;
  int64_t start_ = 0;
};

}  // namespace zt

#endif  // ZT_RECORDSET_DATA_WINDOW_H_
