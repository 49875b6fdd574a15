#include "engine/index.h"

#include <cstring>

#include "engine/codec.h"

namespace zt {

// ---- Page codec ------------------------------------------------------------

void IndexEntry::EncodeTo(char* dst) const {
  EncodeFixed32(dst + kDeadOffset, dead);
  PutTextField(dst + kKeyOffset, kKeyWidth, std::string_view(key).substr(0, kMaxKeyLength));
  EncodeFixed64(dst + kRecordOffset, record);
  EncodeFixed64(dst + kChildOffset, child);
}

bool IndexEntry::DecodeFrom(const char* src) {
  dead = DecodeFixed32(src + kDeadOffset);
  const std::string_view text = GetTextField(src + kKeyOffset, kKeyWidth);
  if (text.size() > kMaxKeyLength) return false;
  key.assign(text);
  record = DecodeFixed64(src + kRecordOffset);
  child = DecodeFixed64(src + kChildOffset);
  return true;
}

void IndexPage::EncodeTo(char* dst) const {
  std::memset(dst, 0, kSize);
  EncodeFixed64(dst + kParentOffset, parent);
  EncodeFixed64(dst + kPrevOffset, prev);
  EncodeFixed64(dst + kNextOffset, next);
  EncodeFixed32(dst + kCountOffset, count);
  for (int k = 0; k < kSlots; ++k) {
    slots[static_cast<size_t>(k)].EncodeTo(dst + kSlotsOffset + IndexEntry::kSize * static_cast<size_t>(k));
  }
}

bool IndexPage::DecodeFrom(const char* src) {
  parent = DecodeFixed64(src + kParentOffset);
  prev = DecodeFixed64(src + kPrevOffset);
  next = DecodeFixed64(src + kNextOffset);
  count = DecodeFixed32(src + kCountOffset);
  if (count < 0 || count > kMaxEntries) return false;
  for (int k = 0; k < kSlots; ++k) {
    if (!slots[static_cast<size_t>(k)].DecodeFrom(src + kSlotsOffset + IndexEntry::kSize * static_cast<size_t>(k))) {
      // Slots beyond the count carry no meaning; only live slots must decode.
      if (k <= count) return false;
      slots[static_cast<size_t>(k)] = IndexEntry{};
    }
  }
  return true;
}

// ---- File operations ---------------------------------------------------------

IndexFile::~IndexFile() { IndexClose(); }

int IndexFile::IndexCreate(const std::string& path) {
  if (!FileCreate(path)) return 0;
  FileHandle handle = kNoFile;
  if (!FileOpen(handle, path, 1)) {
    FileDelete(path);
    return 0;
  }
  char bytes[IndexPage::kSize];
  IndexPage{}.EncodeTo(bytes);
  int64_t offset = 0;
  const int ok = FileAppend(handle, bytes, sizeof bytes, offset);
  FileClose(handle);
  if (!ok) FileDelete(path);
  return ok;
}

int IndexFile::IndexOpen(const std::string& path, int shared) {
  if (path.empty()) return 0;
  shared_ = shared;
  return FileOpen(handle_, path, shared);
}

int IndexFile::IndexClose() {
  if (handle_ == kNoFile) return 0;
  return FileClose(handle_);
}

int IndexFile::IndexLock() {
  if (!shared_) return 1;
  return FileLockRegion(handle_, 0, IndexPage::kSize);
}

int IndexFile::IndexUnlock() {
  if (!shared_) return 1;
  return FileUnlockRegion(handle_, 0, IndexPage::kSize);
}

int IndexFile::ReadPage(int64_t offset, IndexPage& page) {
  if (offset < 0 || offset % static_cast<int64_t>(IndexPage::kSize) != 0) return 0;
  char bytes[IndexPage::kSize];
  if (!FileReadAt(handle_, bytes, sizeof bytes, offset)) return 0;
  return page.DecodeFrom(bytes) ? 1 : 0;
}

int IndexFile::WritePage(int64_t offset, const IndexPage& page) {
  char bytes[IndexPage::kSize];
  page.EncodeTo(bytes);
  return FileWriteAt(handle_, bytes, sizeof bytes, offset);
}

int IndexFile::AppendPage(const IndexPage& page, int64_t& offset) {
  char bytes[IndexPage::kSize];
  page.EncodeTo(bytes);
  return FileAppend(handle_, bytes, sizeof bytes, offset);
}

}  // namespace zt
