#include "ztadmin/alter.h"

#include <functional>
#include <ostream>
#include <string_view>

#include "engine/chain.h"
#include "engine/codec.h"
#include "engine/database.h"
#include "engine/database_builder.h"
#include "engine/file.h"
#include "engine/index_key.h"
#include "ztadmin/commands.h"
#include "ztadmin/progress.h"
#include "ztadmin/schema.h"

namespace zt::admin {
namespace {

// The subcommands and the arguments each takes after its name.
struct Verb {
  std::string_view name;
  std::string_view usage;
  size_t arguments;  // exactly this many, or at least this many when variadic
  bool variadic;
};
constexpr Verb kVerbs[] = {
    {"add-table", "NAME COLUMN...", 2, true}, {"add-column", "TABLE NAME TYPE SIZE", 4, false},
    {"drop-column", "TABLE COLUMN", 2, false},     {"rename-column", "TABLE OLD NEW", 3, false},
    {"set-location", "N TEXT", 2, false},
};

// A request checked against the stored schema: the whole schema as it is
// to be, and which table and column of it change.
struct Change {
  std::string_view verb;
  DatabaseSchema stored;  // as the definition file holds it
  DatabaseSchema schema;  // as the request makes it
  int table = -1;
  int column = -1;
  std::string new_name;  // rename-column
};

int FindTable(const DatabaseSchema& schema, std::string_view name) {
  for (size_t t = 0; t < schema.tables.size(); ++t) {
    if (EqualNoCase(schema.tables[t].name, name)) return static_cast<int>(t);
  }
  return -1;
}

int FindColumn(const TableSchema& table, std::string_view name) {
  for (size_t f = 0; f < table.columns.size(); ++f) {
    if (EqualNoCase(table.columns[f].name, name)) return static_cast<int>(f);
  }
  return -1;
}

// The schema the definition file holds, dropped columns included;
// explains a failure on err.
bool ReadSchema(Database& db, const std::string& data_file, DatabaseSchema& schema,
                std::ostream& err) {
  DefinitionHeader header;
  if (!ReadDefinitionHeaderOffline(db, data_file, header, err)) return false;
  for (int i = 0; i < header.table_count(); ++i) {
    TableDefinition definition;
    if (!ReadTableOffline(db, data_file, std::string(header.table_name(i)), definition, err)) {
      return false;
    }
    schema.tables.push_back(DecodeTable(definition));
  }
  for (int k = 0; k < kLocationFieldCount; ++k) {
    schema.locations[static_cast<size_t>(k)] = header.location(k);
  }
  return true;
}

// Applies the request to change.schema, a copy of the stored schema. The
// checks here are the ones the schema itself cannot show (an unknown table
// or column, a column dropped twice); the caller validates the result.
bool Plan(const std::vector<std::string>& words, Change& change, std::string& problem) {
  DatabaseSchema& schema = change.schema;
  auto table_named = [&](const std::string& name) {
    change.table = FindTable(schema, name);
    if (change.table < 0) problem = "there is no table '" + name + "'";
    return change.table >= 0;
  };
  auto column_named = [&](const std::string& name) {
    const TableSchema& table = schema.tables[static_cast<size_t>(change.table)];
    change.column = FindColumn(table, name);
    if (change.column < 0) problem = "table '" + table.name + "' has no column '" + name + "'";
    return change.column >= 0;
  };

  if (change.verb == "add-table") {
    TableSchema table{words[0], {}};
    for (size_t i = 1; i < words.size(); ++i) {
      ColumnSchema column;
      if (!ParseColumnWord(words[i], column, problem)) return false;
      table.columns.push_back(column);
    }
    schema.tables.push_back(table);
    change.table = static_cast<int>(schema.tables.size()) - 1;
    return true;
  }
  if (change.verb == "add-column") {
    if (!table_named(words[0])) return false;
    ColumnSchema column;
    if (!ParseColumn({words[1], words[2], words[3]}, column, problem)) return false;
    auto& columns = schema.tables[static_cast<size_t>(change.table)].columns;
    columns.push_back(column);
    change.column = static_cast<int>(columns.size()) - 1;
    return true;
  }
  if (change.verb == "drop-column") {
    if (!table_named(words[0]) || !column_named(words[1])) return false;
    TableSchema& table = schema.tables[static_cast<size_t>(change.table)];
    ColumnSchema& column = table.columns[static_cast<size_t>(change.column)];
    if (column.dropped) {
      problem = "column '" + column.name + "' of table '" + table.name + "' is already dropped";
      return false;
    }
    int live = 0;
    for (const ColumnSchema& c : table.columns) live += c.dropped ? 0 : 1;
    if (live == 1) {
      problem = "column '" + column.name + "' is the last live column of table '" + table.name +
                "' (a table keeps at least one)";
      return false;
    }
    column.dropped = true;
    return true;
  }
  if (change.verb == "rename-column") {
    if (!table_named(words[0]) || !column_named(words[1])) return false;
    change.new_name = words[2];
    schema.tables[static_cast<size_t>(change.table)]
        .columns[static_cast<size_t>(change.column)]
        .name = words[2];
    return true;
  }
  // set-location
  const std::string& n = words[0];
  if (n.size() != 1 || n[0] < '1' || n[0] > '0' + kLocationFieldCount) {
    problem = "location number '" + n + "' must be 1 to " + std::to_string(kLocationFieldCount);
    return false;
  }
  change.column = n[0] - '1';
  schema.locations[static_cast<size_t>(change.column)] = words[1];
  return true;
}

// Whether the keys of another live key column can pass for those of
// column f of the table in a walk along their run: the one's table and
// column names together start with the other's (without regard to case),
// and their keys have the same length, so that a value can make up the
// difference ("AB"+"C" and "A"+"BC"; "Id" of size 6 and "Idx" of size 5).
bool KeysMayMix(const DatabaseSchema& schema, int table, int f) {
  const TableSchema& own = schema.tables[static_cast<size_t>(table)];
  const ColumnSchema& column = own.columns[static_cast<size_t>(f)];
  const std::string prefix = own.name + column.name;
  const size_t length = IndexKeyLength(own.name, column.name, column.size);
  for (size_t t = 0; t < schema.tables.size(); ++t) {
    const TableSchema& other = schema.tables[t];
    for (size_t g = 0; g < other.columns.size(); ++g) {
      const ColumnSchema& c = other.columns[g];
      if (!c.key || c.dropped || (static_cast<int>(t) == table && static_cast<int>(g) == f)) {
        continue;
      }
      const std::string other_prefix = other.name + c.name;
      if ((KeyHasPrefix(prefix, other_prefix) || KeyHasPrefix(other_prefix, prefix)) &&
          IndexKeyLength(other.name, c.name, c.size) == length) {
        return true;
      }
    }
  }
  return false;
}

// Calls apply(key, record offset) with column f's key of every live record
// of the table (the definition names the column as the keys are to name
// it); stops at the first failure apply reports (a non-empty text), which
// goes into problem. count receives the keys applied.
bool ForEachColumnKey(Database& db, const TableDefinition& definition, int f,
                      std::string_view stage, ProgressLine& progress,
                      const std::function<std::string(const std::string&, int64_t)>& apply,
                      int64_t& count, std::string& problem) {
  // A copy that gives only column f's key (RecordKeys gives every live key
  // column's).
  TableDefinition only = definition;
  for (int g = 0; g < only.column_count(); ++g) only.set_key(g, g == f);
  int64_t total = 0;
  if (progress.enabled()) {
    ChainCount chain;
    std::string ignored;
    if (CountLiveRecords(db, definition, chain, ignored)) total = chain.live;
  }
  int64_t records = 0;
  std::string failed;
  const bool whole = WalkChain(
      db, definition, kMaxRecordLength,
      [&](const ChainRecord& record) {
        if (!failed.empty() || record.header.superseded()) return;
        const auto length = static_cast<int32_t>(record.data.size());
        for (const std::string& key : Database::RecordKeys(record.data, length, only)) {
          failed = apply(key, record.offset);
          if (!failed.empty()) return;
          ++count;
        }
        // The whole change is one logged change of any size: past the
        // log's memory bound its parts wait in the log (engine/wal.h).
        if (++records % 4096 != 0) return;
        progress.Show(stage, records, total);
      },
      problem);
  progress.Finish();
  if (!failed.empty()) problem = failed;
  return whole && failed.empty();
}

// Takes the index entries of column f of the table out of the index: in
// one walk along their run (any stray entry goes too), or, where another
// column's keys may lie among them, record by record.
bool RemoveColumnKeys(Database& db, const TableDefinition& definition, int f, bool mixed,
                      ProgressLine& progress, int64_t& keys, std::string& problem) {
  if (mixed) {
    return ForEachColumnKey(
        db, definition, f, "removing keys", progress,
        [&](const std::string& key, int64_t offset) {
          if (db.index().IndexDelete(key, offset)) return std::string();
          return "the index lacks the key '" + key + "' of the record at " +
                 std::to_string(offset) + " (ztadmin reindex mends the index)";
        },
        keys, problem);
  }
  const std::string_view table = definition.name();
  const std::string_view column = definition.column_name(f);
  if (!db.index().IndexDeleteRun(std::string(table) + std::string(column),
                                 IndexKeyLength(table, column, definition.column_size(f)), keys)) {
    problem = "cannot take the column's keys out of the index: " + LastFileError() +
              " (ztadmin check tells whether the index is sound)";
    return false;
  }
  return true;
}

// Puts the key of column f of every live record of the table into the
// index (the definition names the column as the keys are to name it).
bool AddColumnKeys(Database& db, const TableDefinition& definition, int f, ProgressLine& progress,
                   std::string& problem) {
  int64_t added = 0;
  return ForEachColumnKey(
      db, definition, f, "rewriting keys", progress,
      [&](const std::string& key, int64_t offset) {
        if (db.index().IndexInsert(key, offset)) return std::string();
        return "cannot add the key '" + key + "' to the index: " + LastFileError();
      },
      added, problem);
}

// Writes the change into the open database (staged: nothing reaches the
// files before the commit); report receives what was done. Progress of a
// long key rewrite goes to err when show_progress.
bool Apply(Database& db, const Change& change, std::ostream& err, bool show_progress,
           std::string& report, std::string& problem) {
  const TableSchema* table =
      change.table >= 0 ? &change.schema.tables[static_cast<size_t>(change.table)] : nullptr;
  auto failed = [&](const char* what) {
    db.GetLastErrorText(&problem);
    problem = std::string(what) + ": " + problem;
    return false;
  };
  if (change.verb == "set-location") {
    if (!db.SetLocationInformation(change.schema.locations)) {
      return failed("cannot write the location");
    }
    report = "set location " + std::to_string(change.column + 1);
    return true;
  }
  if (change.verb == "add-table") {
    if (!db.AddTableDef(EncodeTable(*table))) return failed("cannot add the table");
    report = "added table " + table->name + " (" + std::to_string(table->columns.size()) +
             (table->columns.size() == 1 ? " column)" : " columns)");
    return true;
  }

  TableDefinition definition;
  int64_t offset = 0;
  if (!db.GetTableDef(table->name.c_str(), definition, offset)) {
    return failed("cannot read the table's definition");
  }
  const int f = change.column;
  const ColumnSchema& column = table->columns[static_cast<size_t>(f)];
  const std::string old_name(definition.column_name(f));
  ProgressLine progress(err, show_progress);
  // Drop and rename only: the column exists in the stored schema.
  auto mixed = [&] { return KeysMayMix(change.stored, change.table, f); };
  int64_t keys = 0;
  if (change.verb == "add-column") {
    const int32_t length = definition.record_length();
    EncodeColumn(definition, f, column);
    definition.set_column_count(f + 1);
    definition.set_record_length(length + column.size);
    report = "added column " + column.name + " to " + table->name + " (record length " +
             std::to_string(length) + " -> " + std::to_string(length + column.size) +
             "; the records stored so far read it empty)";
  } else if (change.verb == "drop-column") {
    const bool key = definition.is_key(f);
    if (key && !RemoveColumnKeys(db, definition, f, mixed(), progress, keys, problem)) return false;
    definition.set_dropped(f, true);
    report = "dropped column " + old_name + " of " + table->name;
    if (key) report += " (" + std::to_string(keys) + " index keys removed)";
  } else {  // rename-column
    const bool key = definition.is_key(f) && !definition.is_dropped(f);
    if (key && !RemoveColumnKeys(db, definition, f, mixed(), progress, keys, problem)) return false;
    definition.set_column_name(f, change.new_name);
    if (key && !AddColumnKeys(db, definition, f, progress, problem)) return false;
    report = "renamed column " + old_name + " of " + table->name + " to " + change.new_name;
    if (key) report += " (" + std::to_string(keys) + " index keys rewritten)";
  }
  if (!db.UpdateTableDef(definition, offset)) return failed("cannot write the table's definition");
  return true;
}

}  // namespace

int AlterCommand(const std::string& data_file, const std::vector<std::string>& args,
                 std::ostream& out, std::ostream& err, bool show_progress) {
  const Verb* verb = nullptr;
  for (const Verb& v : kVerbs) {
    if (!args.empty() && args[0] == v.name) verb = &v;
  }
  if (verb == nullptr) {
    err << "ztadmin: alter: "
        << (args.empty() ? "no subcommand given" : "unknown subcommand '" + args[0] + "'")
        << " (add-table, add-column, drop-column, rename-column, set-location)\n";
    return 2;
  }
  const std::vector<std::string> words(args.begin() + 1, args.end());
  if (words.size() < verb->arguments || (!verb->variadic && words.size() > verb->arguments)) {
    err << "ztadmin: alter " << verb->name << " takes " << verb->usage << "\n";
    return 2;
  }

  Database db(TempFolder());
  if (!OpenOffline(db, data_file, err)) return 1;
  Change change;
  change.verb = verb->name;
  std::string problem;
  if (!ReadSchema(db, data_file, change.stored, err)) return 1;
  change.schema = change.stored;
  // The stored schema must pass create's checks for the result's check to
  // speak of the request alone.
  problem = ValidateDatabaseSchema(change.stored);
  if (!problem.empty()) {
    err << "ztadmin: alter: the database's definitions already break the rules of create ("
        << problem << "); nothing changed\n";
    return 1;
  }
  if (!Plan(words, change, problem) || !(problem = ValidateDatabaseSchema(change.schema)).empty()) {
    err << "ztadmin: alter " << verb->name << ": " << problem << "; nothing changed\n";
    return 1;
  }

  std::string report;
  if (!Apply(db, change, err, show_progress, report, problem)) {
    db.DiscardChange();
    err << "ztadmin: alter " << verb->name << ": " << problem << "; nothing changed\n";
    return 1;
  }
  // One log record for the whole change; the close checkpoints it into
  // the files.
  db.EndChange();
  if (!db.Commit(&problem)) {
    err << "ztadmin: alter " << verb->name << ": " << problem << "; nothing changed\n";
    return 1;
  }
  if (!db.CloseDatabase()) {
    db.GetLastErrorText(&problem);
    err << "ztadmin: alter " << verb->name << ": " << problem
        << " (the change is in the log, which the next open replays)\n";
    return 1;
  }
  out << report << "\n";
  return 0;
}

}  // namespace zt::admin
