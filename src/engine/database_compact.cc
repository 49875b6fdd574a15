// The compaction: find the live records by walking every chain, copy them
// in the order of their old offsets into the new data file (each chain's
// offsets strictly decrease, WalkChain makes sure, so that order keeps
// every chain's order) while scanning the old file whole, write the
// definition file again with the new newest-record offsets, build the
// index, verify the chains, swap.
#include "engine/database_compact.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/chain.h"
#include "engine/file.h"
#include "engine/file_swap.h"
#include "engine/filenames.h"
#include "engine/record.h"

namespace zt {
namespace {

// Bytes read from the old data file, and written to the new one, at a time.
constexpr size_t kCopyRunBytes = size_t{1} << 20;

// A live record to copy: its old offset (< 2^31) above its table's
// definition slot (< 256), so that sorting the numbers sorts by offset.
using RecordRef = uint64_t;
RecordRef MakeRef(int64_t offset, int slot) {
  return (static_cast<uint64_t>(offset) << 8) | static_cast<uint64_t>(slot);
}
int64_t RefOffset(RecordRef ref) { return static_cast<int64_t>(ref >> 8); }
int RefSlot(RecordRef ref) { return static_cast<int>(ref & 0xFF); }

// Reads the old data file through a window of kCopyRunBytes, refilled
// whenever a read leaves it: ascending reads cost one pread per window.
class WindowReader {
 public:
  explicit WindowReader(FileHandle file) : file_(file), end_(FileLength(file)) {}
  bool Read(int64_t offset, size_t n, char* out) {
    const int64_t last = offset + static_cast<int64_t>(n);
    if (offset < start_ || last > start_ + static_cast<int64_t>(window_.size())) {
      if (offset < 0 || last > end_) return false;
      window_.resize(static_cast<size_t>(std::min<int64_t>(
          end_ - offset, std::max<int64_t>(static_cast<int64_t>(n), kCopyRunBytes))));
      start_ = offset;
      if (!FileReadAt(file_, window_.data(), window_.size(), offset)) {
        window_.clear();
        return false;
      }
    }
    std::memcpy(out, window_.data() + (offset - start_), n);
    return true;
  }

 private:
  FileHandle file_;
  int64_t end_;
  int64_t start_ = 0;
  std::string window_;
};

// Appends to the new data file in runs of about kCopyRunBytes.
class RunWriter {
 public:
  explicit RunWriter(FileHandle file) : file_(file) {}
  int64_t position() const { return written_ + static_cast<int64_t>(run_.size()); }
  bool Add(const char* bytes, size_t n) {
    run_.append(bytes, n);
    return run_.size() < kCopyRunBytes || Flush();
  }
  bool Flush() {
    if (run_.empty()) return true;
    if (!FileWriteAt(file_, run_.data(), run_.size(), written_)) return false;
    written_ += static_cast<int64_t>(run_.size());
    run_.clear();
    return true;
  }

 private:
  FileHandle file_;
  int64_t written_ = 0;
  std::string run_;
};

// The replacement files while they are not yet committed: deleted when
// the compaction stops short of the commit.
class Replacement {
 public:
  explicit Replacement(std::string data_file)
      : data_file_(std::move(data_file)),
        data_(ReplacementDataFileName(data_file_)),
        definitions_(DerivedFileName(data_, kDefinitionFileExtension)),
        index_(DerivedFileName(data_, kIndexFileExtension)) {}
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;
  ~Replacement() {
    if (!kept_) RemoveReplacementFiles(data_file_);
  }
  void Keep() { kept_ = true; }
  const std::string& data() const { return data_; }
  const std::string& definitions() const { return definitions_; }
  const std::string& index() const { return index_; }

 private:
  std::string data_file_;
  std::string data_;
  std::string definitions_;
  std::string index_;
  bool kept_ = false;
};

bool WriteNewFile(const std::string& path, const std::string& bytes) {
  File file;
  return FileCreate(path) && file.Open(path, 0) &&
         FileWriteAt(file.handle(), bytes.data(), bytes.size(), 0) && FileSync(file.handle());
}

// The definition file as it stands. A file longer than the definitions of
// the most tables there can be is damaged beyond what compaction carries.
bool ReadDefinitionFile(Database& db, std::string& bytes, std::string& error) {
  const int64_t length = FileLength(db.definition_file());
  if (length < static_cast<int64_t>(DefinitionHeader::kSize) ||
      length > TableDefinitionOffset(kMaxTables)) {
    error = "the definition file's length (" + std::to_string(length) +
            " bytes) is not that of a sound one";
    return false;
  }
  bytes.resize(static_cast<size_t>(length));
  if (!FileReadAt(db.definition_file(), bytes.data(), bytes.size(), 0)) {
    error = "cannot read the definition file: " + LastFileError();
    return false;
  }
  return true;
}

TableDefinition DefinitionAt(const std::string& bytes, int slot) {
  TableDefinition definition;
  std::memcpy(definition.bytes.data(), bytes.data() + TableDefinitionOffset(slot),
              definition.bytes.size());
  return definition;
}

// Gathers the live records of every table, sorted by their old offsets.
bool FindLiveRecords(Database& db, const std::string& definitions, int tables,
                     std::vector<RecordRef>& live, const ProgressFn& progress,
                     std::string& error) {
  int64_t visited = 0;
  for (int slot = 0; slot < tables; ++slot) {
    const TableDefinition definition = DefinitionAt(definitions, slot);
    std::string problem;
    const bool walked = WalkChain(
        db, definition, 0,
        [&](const ChainRecord& record) {
          if (!record.header.superseded()) live.push_back(MakeRef(record.offset, slot));
          if (progress && ++visited % 65536 == 0) progress("finding records", visited, 0);
        },
        problem);
    if (!walked) {
      error = "table '" + std::string(definition.name()) + "': " + problem;
      return false;
    }
  }
  std::sort(live.begin(), live.end());
  return true;
}

// Copies the live records into the new data file, each header's
// previous-record field pointing at its table's record copied before it;
// newest receives every table's last record (-1: none). The old file is
// scanned whole, record after record: a record flagged live that no chain
// reached, or bytes that are no record, would be lost without a word, so
// they stop the compaction instead (they are for `ztadmin check` and its
// repairs to judge).
bool CopyRecords(Database& db, const std::vector<RecordRef>& live, FileHandle out,
                 std::vector<int64_t>& newest, const ProgressFn& progress, std::string& error) {
  WindowReader reader(db.data_file());
  RunWriter writer(out);
  std::string data(static_cast<size_t>(kMaxRecordLength), '\0');
  const int64_t end = FileLength(db.data_file());
  size_t next = 0;  // the next live record to meet
  int64_t offset = 0;
  while (offset < end) {
    RecordHeader header;
    const bool read = reader.Read(offset, header.bytes.size(), header.bytes.data());
    const int32_t length = header.data_length();
    if (!read || !header.has_marker() || length < 0 || length > kMaxRecordLength ||
        !reader.Read(offset + static_cast<int64_t>(RecordHeader::kSize),
                     static_cast<size_t>(length), data.data())) {
      error = "the data file holds no whole record at " + std::to_string(offset) +
              " (ztadmin check tells more)";
      return false;
    }
    if (next < live.size() && RefOffset(live[next]) == offset) {
      int64_t& previous = newest[static_cast<size_t>(RefSlot(live[next]))];
      header.set_previous(previous);
      previous = writer.position();
      if (!writer.Add(header.bytes.data(), header.bytes.size()) ||
          !writer.Add(data.data(), static_cast<size_t>(length))) {
        error = "cannot write the new data file: " + LastFileError();
        return false;
      }
      ++next;
      if (progress && (next % 65536 == 0 || next == live.size())) {
        progress("copying records", static_cast<int64_t>(next), static_cast<int64_t>(live.size()));
      }
    } else if (!header.superseded()) {
      error = "the live record at " + std::to_string(offset) +
              " is on no table's chain (ztadmin check tells more)";
      return false;
    }
    offset += static_cast<int64_t>(RecordHeader::kSize) + length;
  }
  if (next != live.size()) {
    error = "the record at " + std::to_string(RefOffset(live[next])) +
            " is not where a scan of the data file finds one (ztadmin check tells more)";
    return false;
  }
  if (!writer.Flush() || !FileSync(out)) {
    error = "cannot write the new data file: " + LastFileError();
    return false;
  }
  return true;
}

// Opens the new database on its own (its definitions and index root are
// sound, or the open fails) and walks every chain: each table must hold
// exactly the records copied for it, all live. The records were copied
// whole and the index built by the builder reindex uses, so this, unlike a
// full check (which would double the time and hold every key in memory),
// is what the build itself could have got wrong.
bool VerifyReplacement(const std::string& path, const std::vector<int64_t>& kept,
                       std::string& error) {
  Database fresh(TempFolder());
  std::vector<std::string> names;
  if (!fresh.OpenDatabase(path.c_str(), 0) || !fresh.GetTableNames(names)) {
    fresh.GetLastErrorText(&error);
    return false;
  }
  for (size_t slot = 0; slot < names.size() && slot < kept.size(); ++slot) {
    TableDefinition definition;
    int64_t at = 0;
    ChainCount count;
    std::string problem;
    if (!fresh.GetTableDef(names[slot].c_str(), definition, at) ||
        !CountLiveRecords(fresh, definition, count, problem) || count.live != kept[slot] ||
        count.superseded != 0) {
      error = "the new database's table '" + names[slot] + "' is not as copied" +
              (problem.empty() ? "" : ": " + problem);
      return false;
    }
  }
  if (names.size() != kept.size() || !fresh.CloseDatabase()) {
    error = "the new database does not hold the tables copied";
    return false;
  }
  return true;
}

}  // namespace

bool CompactDatabase(Database& db, CompactReport& report, std::string& error,
                     const ProgressFn& progress, const SortOptions& sort) {
  report = CompactReport{};
  if (!db.IsConnected() || db.shared()) {
    error = "the database must be open exclusively";
    return false;
  }
  const std::string data_file = db.data_path();
  const std::string index_file = DerivedFileName(data_file, kIndexFileExtension);
  report.old_data_bytes = FileLength(db.data_file());
  report.old_index_bytes = PathLength(index_file);

  // Leftovers of a compaction that died before its commit; nobody else
  // can be writing them while db holds the database.
  RemoveReplacementFiles(data_file);
  Replacement replacement(data_file);

  std::string definitions;
  if (!ReadDefinitionFile(db, definitions, error)) return false;
  DefinitionHeader header;
  std::memcpy(header.bytes.data(), definitions.data(), header.bytes.size());
  const int tables = header.table_count();
  if (TableDefinitionOffset(tables) > static_cast<int64_t>(definitions.size())) {
    error = "the definition file ends before its last table definition";
    return false;
  }

  std::vector<RecordRef> live;
  if (!FindLiveRecords(db, definitions, tables, live, progress, error)) return false;
  report.live_records = static_cast<int64_t>(live.size());

  std::vector<int64_t> newest(static_cast<size_t>(tables), -1);
  {
    File out;
    if (!FileCreate(replacement.data()) || !out.Open(replacement.data(), 0)) {
      error = "cannot create " + replacement.data() + ": " + LastFileError();
      return false;
    }
    if (!CopyRecords(db, live, out.handle(), newest, progress, error)) return false;
  }
  std::vector<int64_t> kept(static_cast<size_t>(tables), 0);
  for (const RecordRef ref : live) ++kept[static_cast<size_t>(RefSlot(ref))];
  live = std::vector<RecordRef>();  // the index build needs the memory more

  for (int slot = 0; slot < tables; ++slot) {
    TableDefinition definition = DefinitionAt(definitions, slot);
    definition.set_newest_record(newest[static_cast<size_t>(slot)]);
    definitions.replace(static_cast<size_t>(TableDefinitionOffset(slot)), definition.bytes.size(),
                        definition.bytes.data(), definition.bytes.size());
  }
  if (!WriteNewFile(replacement.definitions(), definitions)) {
    error = "cannot write " + replacement.definitions() + ": " + LastFileError();
    return false;
  }
  if (!RebuildIndexFile(replacement.data(), error, progress, sort)) return false;
  if (progress) progress("verifying", 0, 0);
  if (!VerifyReplacement(replacement.data(), kept, error)) return false;
  report.new_data_bytes = PathLength(replacement.data());
  report.new_index_bytes = PathLength(replacement.index());

  // From the first rename until the marker is gone, an opener could meet
  // the new data file in place: holding it keeps everyone out.
  File hold_new;
  if (!hold_new.Open(replacement.data(), 0)) {
    error = "cannot hold " + replacement.data() + ": " + LastFileError();
    return false;
  }
  // The data file goes last, so that until the end the old one, which db
  // holds, stands at its name.
  const bool swapped = CommitFileSwap(data_file,
                                      {{replacement.definitions(),
                                        DerivedFileName(data_file, kDefinitionFileExtension)},
                                       {replacement.index(), index_file},
                                       {replacement.data(), data_file}},
                                      report.committed, error);
  if (report.committed) replacement.Keep();
  return swapped;
}

}  // namespace zt
