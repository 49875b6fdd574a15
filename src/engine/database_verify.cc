#include "engine/database_verify.h"

#include <utility>

#include "engine/codec.h"
#include "engine/index.h"
#include "engine/record.h"

namespace zt {
namespace {

constexpr int64_t kPageSize = static_cast<int64_t>(IndexPage::kSize);
// Units between two looks at the clock.
constexpr int kUnitsPerClockRead = 16;

std::string PageAt(int64_t offset) { return "index page " + std::to_string(offset) + ": "; }
std::string RecordAt(int64_t offset) { return "record at " + std::to_string(offset) + ": "; }

}  // namespace

void DatabaseVerifier::Begin() {
  const int64_t index_length = db_.index().Length();
  index_pages_ = index_length > 0 ? index_length / kPageSize : 0;
  data_end_ = FileLength(db_.data_file());
  if (data_end_ < 0) data_end_ = 0;
  next_page_ = 0;
  data_offset_ = 0;
  scan_stopped_ = false;
  done_ = 0;
  total_ = index_pages_ * kPageSize + data_end_;
  problem_count_ = 0;
  keys_not_looked_up_ = 0;
  problems_.clear();
  index_damaged_ = records_damaged_ = false;
  elapsed_ = {};
  state_ = State::kRunning;
}

void DatabaseVerifier::IndexProblem(std::string text) {
  index_damaged_ = true;
  if (problems_.size() < kKeptProblems) problems_.push_back(std::move(text));
  ++problem_count_;
}

void DatabaseVerifier::RecordProblem(std::string text) {
  records_damaged_ = true;
  if (problems_.size() < kKeptProblems) problems_.push_back(std::move(text));
  ++problem_count_;
}

bool DatabaseVerifier::Step(std::chrono::steady_clock::time_point deadline) {
  if (state_ != State::kRunning) return false;
  const auto start = std::chrono::steady_clock::now();
  for (int units = 1;; ++units) {
    if (next_page_ < index_pages_) {
      VerifyPage(next_page_++);
      done_ += kPageSize;
    } else if (!scan_stopped_ && data_offset_ < data_end_) {
      const int64_t before = data_offset_;
      if (!VerifyRecord()) {
        scan_stopped_ = true;
        done_ += data_end_ - before;
      } else {
        done_ += data_offset_ - before;
      }
    } else {
      done_ = total_;
      state_ = problem_count_ == 0 ? State::kClean : State::kDamaged;
      elapsed_ += std::chrono::steady_clock::now() - start;
      return false;
    }
    if (units % kUnitsPerClockRead == 0) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline) {
        elapsed_ += now - start;
        return true;
      }
    }
  }
}

void DatabaseVerifier::VerifyPage(int64_t page_number) {
  const int64_t offset = page_number * kPageSize;
  // The file may have grown since Begin, never shrunk: every page counted
  // then is still there.
  const int64_t pages_now = db_.index().Length() / kPageSize;
  char bytes[IndexPage::kSize];
  if (!FileReadAt(db_.index().handle(), bytes, sizeof bytes, offset)) {
    return IndexProblem(PageAt(offset) + "cannot be read");
  }
  IndexPage page;
  if (!page.DecodeFrom(bytes)) {
    return IndexProblem(PageAt(offset) + "damaged (entry count " +
                        std::to_string(DecodeFixed32(bytes + IndexPage::kCountOffset)) +
                        " or an over-long key)");
  }
  if (page.count > IndexPage::kMaxAtRest) {
    IndexProblem(PageAt(offset) + std::to_string(page.count) + " entries (at most 19 at rest)");
  }
  if (page.count == 0 && offset != 0) IndexProblem(PageAt(offset) + "no entries");
  const auto names_a_page = [&](int64_t link) {
    return link == -1 || (link >= 0 && link % kPageSize == 0 && link / kPageSize < pages_now);
  };
  if (!names_a_page(page.parent) || !names_a_page(page.prev) || !names_a_page(page.next)) {
    IndexProblem(PageAt(offset) + "a parent or neighbour link names no page of the file");
  }
  bool leaf = page.slots[0].child < 0;
  for (int e = 0; e <= page.count; ++e) {
    const IndexEntry& entry = page.slots[static_cast<size_t>(e)];
    if (e > 0 && entry.child >= 0) leaf = false;
    if (entry.child >= 0 && !names_a_page(entry.child)) {
      IndexProblem(PageAt(offset) + "entry " + std::to_string(e) + " routes to no page of the file");
    }
    if (e > 1 && CompareNoCase(page.slots[static_cast<size_t>(e - 1)].key, entry.key) > 0) {
      IndexProblem(PageAt(offset) + "entry " + std::to_string(e) + " '" + entry.key +
                   "' is out of key order");
    }
  }
  if (!leaf) return;
  for (int e = 1; e <= page.count; ++e) {
    const IndexEntry& entry = page.slots[static_cast<size_t>(e)];
    if (!entry.dead) VerifyLeafEntry(offset, entry.key, entry.record);
  }
}

void DatabaseVerifier::VerifyLeafEntry(int64_t page_offset, const std::string& key, int64_t record) {
  const std::string where = PageAt(page_offset) + "entry '" + key + "' -> " + std::to_string(record) + ": ";
  RecordHeader header;
  if (record < 0 || record >= kMaxDataFileOffset ||
      !FileReadAt(db_.data_file(), header.bytes.data(), header.bytes.size(), record) ||
      !header.has_marker()) {
    return IndexProblem(where + "no record starts there");
  }
  if (header.superseded()) return IndexProblem(where + "the record is superseded or deleted");
  int64_t at = 0;
  const TableDefinition* definition = db_.TableDef(std::string(header.table()).c_str(), at);
  const int32_t length = header.data_length();
  if (definition == nullptr || length < 0 || length > kMaxRecordLength) {
    return IndexProblem(where + "the record is no sound record of a table");
  }
  data_.resize(static_cast<size_t>(length));
  if (!FileReadAt(db_.data_file(), data_.data(), data_.size(),
                  record + static_cast<int64_t>(RecordHeader::kSize))) {
    return IndexProblem(where + "the record cannot be read");
  }
  for (const std::string& own : Database::RecordKeys(data_, length, *definition)) {
    if (EqualNoCase(own, key)) return;
  }
  IndexProblem(where + "the record (table '" + std::string(header.table()) +
               "') holds no such key");
}

bool DatabaseVerifier::VerifyRecord() {
  const int64_t offset = data_offset_;
  RecordHeader header;
  if (!FileReadAt(db_.data_file(), header.bytes.data(), header.bytes.size(), offset)) {
    RecordProblem("data file: " + std::to_string(data_end_ - offset) +
                  " bytes at its end are no whole record header");
    return false;
  }
  if (!header.has_marker()) {
    RecordProblem("data file: no record header at " + std::to_string(offset) +
                  " (the scan stops there)");
    return false;
  }
  const int32_t length = header.data_length();
  const int64_t next = offset + static_cast<int64_t>(RecordHeader::kSize) + length;
  if (length < 0 || length > kMaxRecordLength || next > data_end_) {
    RecordProblem(RecordAt(offset) + "data length " + std::to_string(length) +
                  " is out of range or runs past the end of the data file");
    return false;
  }
  data_offset_ = next;
  if (header.superseded()) return true;
  int64_t at = 0;
  const TableDefinition* definition = db_.TableDef(std::string(header.table()).c_str(), at);
  if (definition == nullptr) {
    RecordProblem(RecordAt(offset) + "table '" + std::string(header.table()) + "' is not defined");
    return true;
  }
  data_.resize(static_cast<size_t>(length));
  if (!FileReadAt(db_.data_file(), data_.data(), data_.size(),
                  offset + static_cast<int64_t>(RecordHeader::kSize))) {
    RecordProblem(RecordAt(offset) + "cannot be read");
    return false;
  }
  for (const std::string& key : Database::RecordKeys(data_, length, *definition)) {
    switch (FindEntry(key, offset)) {
      case Found::kYes:
        break;
      case Found::kNo:
        IndexProblem(RecordAt(offset) + "key '" + key + "' is missing from the index");
        break;
      case Found::kNotLooked:
        ++keys_not_looked_up_;
        break;
    }
  }
  return true;
}

DatabaseVerifier::Found DatabaseVerifier::FindEntry(const std::string& key, int64_t record) {
  // The run of equal keys is walked from its first live entry, at most
  // kMaxEqualRun of them: one unit's work stays bounded whatever a key
  // value is shared by.
  IndexCursor cursor;
  if (!db_.index().IndexSeekEqual(key, cursor)) return Found::kNo;
  for (int step = 0; step < kMaxEqualRun; ++step) {
    if (!EqualNoCase(cursor.key, key)) return Found::kNo;
    if (cursor.record == record) return Found::kYes;
    if (!db_.index().IndexNext(cursor)) return Found::kNo;
  }
  return Found::kNotLooked;
}

}  // namespace zt
