#include "engine/database_check.h"

#include <algorithm>
#include <map>
#include <utility>

#include "engine/chain.h"
#include "engine/codec.h"
#include "engine/index_check.h"
#include "engine/index_key.h"
#include "engine/record.h"

namespace zt {
namespace {

// Index keys compare without regard to case: the multisets below hold them
// folded, paired with the record offset.
using KeyRef = std::pair<std::string, int64_t>;

std::string Folded(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = FoldCase(c);
  return out;
}

std::string At(int64_t offset) { return "record at " + std::to_string(offset); }

struct LiveRecord {
  std::string table;
};

class DatabaseChecker {
 public:
  DatabaseChecker(Database& db, CheckReport& report) : db_(db), report_(report) {}

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
          chained_.emplace(record.offset, std::string(definition.name()));
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
      expected_.emplace(KeyRef{Folded(key), record.offset}, key);
    }
  }

  // Records follow one another from offset 0; a live one outside its
  // table's chain can be reached by no reader.
  void ScanDataFile() {
    const int64_t end = FileLength(db_.data_file());
    int64_t offset = 0;
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
      if (!header.superseded() && chained_.find(offset) == chained_.end()) {
        Problem(At(offset) + " of table '" + std::string(header.table()) +
                "' is live but not in its table's chain");
      }
      offset = next;
    }
  }

  void CheckIndex() {
    IndexCheckResult result;
    zt::CheckIndex(db_.index().handle(), result);
    for (const std::string& p : result.problems) IndexProblem("index: " + p);
    std::multimap<KeyRef, std::string> present;
    for (const IndexCheckEntry& entry : result.entries) {
      if (entry.dead) continue;
      ++report_.index_entries;
      present.emplace(KeyRef{Folded(entry.key), entry.record}, entry.key);
    }
    // Compare the two multisets: each expected key once per live entry.
    for (auto it = expected_.begin(); it != expected_.end(); ++it) {
      auto match = present.find(it->first);
      if (match != present.end()) {
        present.erase(match);
        continue;
      }
      IndexProblem(At(it->first.second) + ": key '" + it->second + "' is missing from the index");
    }
    for (const auto& [ref, key] : present) {
      const auto chained = chained_.find(ref.second);
      std::string why;
      if (chained == chained_.end()) {
        why = "no record of any table's chain starts there";
      } else if (expected_.count(ref) > 0) {
        why = "the record has this key only once";
      } else {
        why = "the record (table '" + chained->second +
              "') is superseded or deleted, or holds another value";
      }
      StrayEntry("index entry '" + key + "' -> " + std::to_string(ref.second) + ": " + why,
                 StrayIndexEntry{key, ref.second});
    }
  }

  Database& db_;
  CheckReport& report_;
  std::map<int64_t, std::string> chained_;  // every record of every chain -> table
  std::multimap<KeyRef, std::string> expected_;
  int record_problems_ = 0;
  int64_t tail_ = -1;        // where the scan of the data file stopped short of its end
  int64_t chained_end_ = 0;  // the end of the chained record that ends last
};

}  // namespace

bool CheckDatabase(Database& db, CheckReport& report) {
  report = CheckReport{};
  DatabaseChecker(db, report).Run();
  return report.problems.empty();
}

}  // namespace zt
