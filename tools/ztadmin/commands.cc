#include "ztadmin/commands.h"

#include <iomanip>
#include <ostream>

#include "config/server_files.h"
#include "engine/backup.h"
#include "engine/database.h"
#include "engine/database_builder.h"
#include "engine/file.h"
#include "engine/wal.h"
#include "engine/chain.h"
#include "ztadmin/schema.h"

namespace zt::admin {

namespace {
ToolOptions tool_options;
}  // namespace

void SetToolOptions(const ToolOptions& options) { tool_options = options; }

SortOptions ToolSortOptions() {
  // --memory bounds the whole tool: the open database's caches (data file
  // and index pages) take their share first.
  constexpr size_t kCaches = kDataCacheBytes + kIndexCacheBytes;
  const size_t sort = tool_options.sort_memory > kCaches + kMinSortMemory
                          ? tool_options.sort_memory - kCaches
                          : kMinSortMemory;
  return SortOptions{TempFolder(), sort};
}

std::string LogFolderFor(const std::string& data_file) {
  if (!tool_options.work_folder.empty()) return tool_options.work_folder;
  if (!tool_options.config_file.empty()) {
    return ReadServerFiles(tool_options.config_file).work_folder;
  }
  if (PathExists(kDefaultConfigFile)) {
    const ServerFiles files = ReadServerFiles(kDefaultConfigFile);
    if (!files.database_file.empty() &&
        AbsolutePath(files.database_file) == AbsolutePath(data_file)) {
      return files.work_folder;
    }
  }
  const size_t slash = data_file.find_last_of('/');
  return slash == std::string::npos ? "." : data_file.substr(0, slash + 1);
}

// The tool needs no work folder of its own (no error log, no transaction
// files); the temporary folder stands in for it. The log is the server's.
bool OpenOffline(Database& db, const std::string& data_file, std::ostream& err) {
  if (!PathExists(data_file)) {
    err << "ztadmin: " << data_file << ": no such database file\n";
    return false;
  }
  // Every change of the tool is logged whole (a load batch is one record),
  // but the log is synced only once a second and at the end: the tool
  // reports success only after the close, which syncs everything.
  db.EnableLog(LogOptions{.folder = LogFolderFor(data_file), .durability = Durability::kOs});
  if (db.OpenDatabase(data_file.c_str(), 0)) {
    const RecoveryReport& r = db.recovery_report();
    if (r.records_replayed > 0 || r.torn_bytes_dropped > 0) {
      err << "ztadmin: " << data_file << ": " << DescribeReplay(r) << "\n";
    }
    if (r.log_lost) {
      err << "ztadmin: " << data_file
          << ": the write-ahead log was empty or unreadable; whatever it held is lost\n";
    }
    return true;
  }
  std::string why;
  db.GetLastErrorText(&why);
  err << "ztadmin: " << data_file << ": " << why;
  if (why == "OpenDatabase: Could not open database file") {
    err << " (is it in use by a running server?)";
  }
  err << "\n";
  return false;
}

bool ReadTableOffline(Database& db, const std::string& data_file, const std::string& table,
                      TableDefinition& definition, std::ostream& err) {
  int64_t offset = 0;
  if (db.GetTableDef(table.c_str(), definition, offset)) return true;
  std::string why;
  db.GetLastErrorText(&why);
  err << "ztadmin: " << (why.empty() ? "no table '" + table + "' in " + data_file : why) << "\n";
  return false;
}

bool ReadDefinitionHeaderOffline(Database& db, const std::string& data_file,
                                 DefinitionHeader& header, std::ostream& err) {
  if (FileReadAt(db.definition_file(), header.bytes.data(), header.bytes.size(), 0)) return true;
  err << "ztadmin: " << data_file << ": the definition file is shorter than its header\n";
  return false;
}

int CreateCommand(const std::string& data_file, const std::string& schema_file, std::ostream& out,
                  std::ostream& err) {
  std::string text;
  if (!ReadWholeFile(schema_file, text)) {
    err << "ztadmin: " << schema_file << ": cannot read the schema: " << LastFileError() << "\n";
    return 1;
  }
  DatabaseSchema schema;
  std::string problem;
  if (!ParseSchema(text, schema_file, schema, problem)) {
    err << "ztadmin: " << problem << "\n";
    return 1;
  }
  if (!CreateDatabaseFiles(data_file, schema, problem)) {
    err << "ztadmin: " << problem << "\n";
    return 1;
  }
  out << "created " << data_file << " with " << schema.tables.size()
      << (schema.tables.size() == 1 ? " table\n" : " tables\n");
  return 0;
}

int DescribeCommand(const std::string& data_file, std::ostream& out, std::ostream& err) {
  Database db(TempFolder());
  if (!OpenOffline(db, data_file, err)) return 1;

  DefinitionHeader header;
  if (!ReadDefinitionHeaderOffline(db, data_file, header, err)) return 1;
  const int count = header.table_count();
  out << "Database " << data_file << ": " << count << (count == 1 ? " table\n" : " tables\n");
  int status = 0;
  for (int i = 0; i < count; ++i) {
    const std::string name(header.table_name(i));
    TableDefinition def;
    int64_t offset = 0;
    if (!db.GetTableDef(name.c_str(), def, offset)) {
      std::string why;
      db.GetLastErrorText(&why);
      err << "ztadmin: table '" << name << "': cannot read its definition"
          << (why.empty() ? "" : ": " + why) << "\n";
      status = 1;
      continue;
    }
    ChainCount records;
    std::string chain_problem;
    const bool chain_ok = CountLiveRecords(db, def, records, chain_problem);
    out << "\nTable " << def.name() << "  (record length " << def.record_length() << ", ";
    if (chain_ok) {
      out << records.live << (records.live == 1 ? " record)\n" : " records)\n");
    } else {
      out << "records unknown: " << chain_problem << ")\n";
      status = 1;
    }
    out << "  " << std::left << std::setw(4) << "#" << std::setw(34) << "column" << std::setw(10)
        << "type" << std::right << std::setw(6) << "size"
        << "  flags\n";
    for (int f = 0; f < def.column_count(); ++f) {
      std::string flags;
      if (def.is_key(f)) flags += "key";
      if (def.is_dropped(f)) flags += flags.empty() ? "dropped" : ", dropped";
      out << "  " << std::left << std::setw(4) << f << std::setw(34) << def.column_name(f)
          << std::setw(10) << TypeName(def.column_type(f)) << std::right << std::setw(6)
          << def.column_size(f) << (flags.empty() ? "" : "  " + flags) << "\n";
    }
  }
  bool any_location = false;
  for (int k = 0; k < kLocationFieldCount; ++k) {
    if (header.location(k).empty()) continue;
    if (!any_location) out << "\nLocation\n";
    any_location = true;
    out << "  " << (k + 1) << ": " << header.location(k) << "\n";
  }
  return status;
}

int BackupCommand(const std::string& data_file, const std::string& dest, std::ostream& out,
                  std::ostream& err) {
  Database db(TempFolder());
  if (!OpenOffline(db, data_file, err)) return 1;
  DatabaseBackup backup;
  std::string why;
  if (!backup.Begin(db, dest, why)) {
    err << "ztadmin: backup: " << why << "\n";
    return 1;
  }
  DatabaseBackup::Step step = DatabaseBackup::Step::kMore;
  while (step == DatabaseBackup::Step::kMore) step = backup.Copy(size_t{64} << 20, why);
  if (step == DatabaseBackup::Step::kFailed) {
    err << "ztadmin: backup: " << why << "\n";
    return 1;
  }
  out << "wrote " << dest << " (" << backup.total_bytes() << " bytes)\n";
  return 0;
}

}  // namespace zt::admin
