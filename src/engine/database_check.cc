#include "engine/database_check.h"

#include <algorithm>
#include <utility>

#include "engine/chain.h"
#include "engine/codec.h"
#include "engine/external_sort.h"
#include "engine/index_check.h"
#include "engine/index_key.h"
#include "engine/record.h"

// Memory stays bounded at any size: the three sets the check compares (the
// offsets of the chained records, the keys the records call for, the index's
// live entries) go through external sorts, and each comparison is one
// sequential pass over two sorted streams.
namespace zt {
namespace {

std::string At(int64_t offset) { return "record at " + std::to_string(offset); }

// A chained record's offset as a sort item: 8 bytes, most significant
// first, so that byte order is numeric order (offsets are never negative).
const std::string& OffsetItem(int64_t offset, std::string& item) {
  item.assign(8, '\0');
  for (int i = 7; i >= 0; --i, offset >>= 8) item[static_cast<size_t>(i)] = static_cast<char>(offset & 0xff);
  return item;
}
int64_t ItemOffset(std::string_view item) {
  int64_t offset = 0;
  for (const char c : item) offset = (offset << 8) | static_cast<unsigned char>(c);
  return offset;
}
bool BytesLess(std::string_view a, std::string_view b) { return a < b; }
bool SameEntry(std::string_view a, std::string_view b) {
  return !IndexEntryItemLess(a, b) && !IndexEntryItemLess(b, a);
}

class DatabaseChecker {
 public:
  DatabaseChecker(Database& db, CheckReport& report, const SortOptions& sort)
      : db_(db),
        report_(report),
        chained_(sort.folder, sort.memory_bytes / 4, BytesLess),
        expected_(sort.folder, sort.memory_bytes * 3 / 8, IndexEntryItemLess),
        present_(sort.folder, sort.memory_bytes * 3 / 8, IndexEntryItemLess) {}

  void Run() {
    DefinitionHeader header;
    if (!FileReadAt(db_.definition_file(), header.bytes.data(), header.bytes.size(), 0)) {
      return Problem("the definition file is shorter than its header");
    }
    if (header.stored_table_count() < 0 || header.stored_table_count() > kMaxTables) {
      Problem("the definition header names " + std::to_string(header.stored_table_count()) +
              " tables");
    }
    for (int i = 0; i < header.table_count(); ++i) CheckTable(std::string(header.table_name(i)));
    if (!Sorted(chained_)) return;
    ScanDataFile();
    CheckIndex();
    // The tail may be cut only when it is the records' one problem.
    if (tail_ >= 0 && record_problems_ == 1 && chained_end_ <= tail_) {
      report_.torn_tail = tail_;
    }
  }

 private:
  void Problem(std::string text) {
    report_.record_problem = true;
    ++record_problems_;
    report_.problems.push_back(std::move(text));
  }
  void IndexProblem(std::string text) {
    report_.index_problem = true;
    report_.index_needs_rebuild = true;
    report_.problems.push_back(std::move(text));
  }
  void StrayEntry(std::string text, StrayIndexEntry entry) {
    report_.index_problem = true;
    report_.stray_entries.push_back(std::move(entry));
    report_.problems.push_back(std::move(text));
  }

  // False (with the reason among the problems) when a sort failed: the
  // check cannot go on without it.
  bool Sorted(ExternalSorter& sorter) {
    if (sorter.Finish()) return true;
    Problem("the check could not sort what it compares: " + sorter.error());
    return false;
  }
  void Add(ExternalSorter& sorter, std::string_view item) {
    if (!sorter.Add(item)) sort_failed_ = true;
  }

  void CheckTable(const std::string& name) {
    TableDefinition definition;
    int64_t offset = 0;
    if (!db_.GetTableDef(name.c_str(), definition, offset)) {
      std::string why;
      db_.GetLastErrorText(&why);
      return Problem("table '" + name + "': cannot read its definition" +
                     (why.empty() ? "" : ": " + why));
    }
    const std::string where = "table '" + name + "': ";
    int64_t sum = 0;
    for (int f = 0; f < definition.column_count(); ++f) {
      sum += definition.column_size(f) > 0 ? definition.column_size(f) : 0;
    }
    const int32_t length = definition.record_length();
    if (length < 0 || length > kMaxRecordLength) {
      return Problem(where + "record length " + std::to_string(length) + " is out of range");
    }
    if (sum != length) {
      Problem(where + "the column sizes add up to " + std::to_string(sum) +
              ", the record length is " + std::to_string(length));
    }
    std::string problem;
    const bool whole = WalkChain(
        db_, definition, kMaxRecordLength,
        [&](const ChainRecord& record) {
          Add(chained_, OffsetItem(record.offset, item_));
          chained_end_ =
              std::max(chained_end_, record.offset + static_cast<int64_t>(RecordHeader::kSize) +
                                         record.header.data_length());
          if (record.header.superseded()) return;
          ++report_.live_records;
          ExpectKeys(definition, record);
        },
        problem);
    if (!whole) Problem(where + problem);
  }

  // The keys IndexRecordKeys gives a record, built by the same helper.
  void ExpectKeys(const TableDefinition& definition, const ChainRecord& record) {
    const std::string_view data = record.data;
    for (int f = 0; f < definition.column_count(); ++f) {
      if (definition.is_dropped(f) || !definition.is_key(f)) continue;
      const int64_t start = definition.column_offset(f);
      const int64_t size = definition.column_size(f) > 0 ? definition.column_size(f) : 0;
      if (start + size > static_cast<int64_t>(data.size())) continue;
      const std::string_view value =
          TrimBlanks(data.substr(static_cast<size_t>(start), static_cast<size_t>(size)));
      if (value.empty()) continue;
      const std::string key = MakeIndexKey(definition.name(), definition.column_name(f), value,
                                           static_cast<int32_t>(size), definition.column_type(f));
      IndexEntryItemInto(item_, key, record.offset);
      Add(expected_, item_);
    }
  }

  // Records follow one another from offset 0; a live one outside its
  // table's chain can be reached by no reader.
  void ScanDataFile() {
    const int64_t end = FileLength(db_.data_file());
    int64_t offset = 0;
    // The chained offsets, ascending, walked alongside the scan.
    std::string_view chained;
    bool more_chained = chained_.Next(chained);
    while (offset < end) {
      RecordHeader header;
      if (!FileReadAt(db_.data_file(), header.bytes.data(), header.bytes.size(), offset)) {
        tail_ = offset;
        return Problem("data file: " + std::to_string(end - offset) +
                       " bytes at its end are no whole record header");
      }
      if (!header.has_marker()) {
        tail_ = offset;
        return Problem("data file: no record header at " + std::to_string(offset) +
                       " (the scan stops there)");
      }
      const int32_t length = header.data_length();
      if (length < 0 || length > kMaxRecordLength) {
        return Problem(At(offset) + ": data length " + std::to_string(length) + " is out of range");
      }
      const int64_t next = offset + static_cast<int64_t>(RecordHeader::kSize) + length;
      if (next > end) {
        tail_ = offset;
        return Problem(At(offset) + " runs past the end of the data file");
      }
      while (more_chained && ItemOffset(chained) < offset) more_chained = chained_.Next(chained);
      if (!header.superseded() && !(more_chained && ItemOffset(chained) == offset)) {
        Problem(At(offset) + " of table '" + std::string(header.table()) +
                "' is live but not in its table's chain");
      }
      offset = next;
    }
  }

  void CheckIndex() {
    IndexCheckResult result;
    zt::CheckIndex(db_.index().handle(), result, [&](const IndexCheckEntry& entry) {
      if (entry.dead) return;
      ++report_.index_entries;
      IndexEntryItemInto(item_, entry.key, entry.record);
      Add(present_, item_);
    });
    for (const std::string& p : result.problems) IndexProblem("index: " + p);
    if (sort_failed_) {
      Problem("the check could not sort what it compares: " +
              (!expected_.error().empty() ? expected_.error() : present_.error()));
      return;
    }
    if (!Sorted(expected_) || !Sorted(present_)) return;
    // Compare the two sorted multisets: each expected key once per live
    // entry.
    std::string_view want;
    std::string_view have;
    bool more_want = expected_.Next(want);
    bool more_have = present_.Next(have);
    std::string last_matched;
    while (more_want || more_have) {
      if (more_want && more_have && SameEntry(want, have)) {
        last_matched.assign(want);
        more_want = expected_.Next(want);
        more_have = present_.Next(have);
      } else if (more_want && (!more_have || IndexEntryItemLess(want, have))) {
        IndexProblem(At(IndexEntryItemRecord(want)) + ": key '" +
                     std::string(IndexEntryItemKey(want)) + "' is missing from the index");
        more_want = expected_.Next(want);
      } else {
        Stray(have, !last_matched.empty() && SameEntry(last_matched, have));
        more_have = present_.Next(have);
      }
    }
    for (ExternalSorter* sorter : {&expected_, &present_}) {
      if (!sorter->error().empty()) Problem("the check could not read back its sort: " + sorter->error());
    }
  }

  // An index entry that stands for no key of a live record; duplicate: the
  // record's one key of this value was matched by another entry already.
  void Stray(std::string_view item, bool duplicate) {
    const std::string key(IndexEntryItemKey(item));
    const int64_t record = IndexEntryItemRecord(item);
    std::string why;
    RecordHeader header;
    if (duplicate) {
      why = "the record has this key only once";
    } else if (record < 0 ||
               !FileReadAt(db_.data_file(), header.bytes.data(), header.bytes.size(), record) ||
               !header.has_marker()) {
      why = "no record of any table's chain starts there";
    } else {
      why = "the record (table '" + std::string(header.table()) +
            "') is superseded or deleted, or holds another value";
    }
    StrayEntry("index entry '" + key + "' -> " + std::to_string(record) + ": " + why,
               StrayIndexEntry{key, record});
  }

  Database& db_;
  CheckReport& report_;
  ExternalSorter chained_;   // the offset of every record of every chain
  ExternalSorter expected_;  // every key of every live record, with its offset
  ExternalSorter present_;   // every live index entry
  bool sort_failed_ = false;
  std::string item_;  // the item being added, its buffer reused
  int record_problems_ = 0;
  int64_t tail_ = -1;        // where the scan of the data file stopped short of its end
  int64_t chained_end_ = 0;  // the end of the chained record that ends last
};

}  // namespace

bool CheckDatabase(Database& db, CheckReport& report, const SortOptions& sort) {
  report = CheckReport{};
  DatabaseChecker(db, report, sort).Run();
  return report.problems.empty();
}

}  // namespace zt
