#include "ztadmin/load.h"

#include <ostream>

#include "csv/csv.h"
#include "engine/codec.h"
#include "engine/database.h"
#include "engine/file.h"
#include "ztadmin/commands.h"

namespace zt::admin {
namespace {

// Redraws a one-line progress bar in place when the percentage changes.
class ProgressBar {
 public:
  ProgressBar(std::ostream& err, bool enabled, size_t total)
      : err_(err), enabled_(enabled && total > 0), total_(total) {}
  void Update(size_t done, int64_t rows) {
    if (!enabled_) return;
    const int percent = static_cast<int>(done * 100 / total_);
    if (percent == last_percent_) return;
    last_percent_ = percent;
    constexpr int kWidth = 40;
    const int filled = percent * kWidth / 100;
    err_ << "\r[" << std::string(static_cast<size_t>(filled), '#')
         << std::string(static_cast<size_t>(kWidth - filled), ' ') << "] " << percent << "%  "
         << rows << " rows" << std::flush;
  }
  void Finish() {
    if (enabled_ && last_percent_ >= 0) err_ << "\r\033[K" << std::flush;
  }

 private:
  std::ostream& err_;
  bool enabled_;
  size_t total_;
  int last_percent_ = -1;
};

// Files below this size load too quickly for a progress bar to help.
constexpr size_t kProgressThreshold = 1 << 20;

}  // namespace

bool MapHeader(const TableDefinition& definition, const std::vector<std::string>& header,
               std::vector<LoadColumn>& columns, std::string& problem) {
  columns.clear();
  for (const std::string& raw : header) {
    const std::string name(TrimBlanks(raw));
    const int f = definition.find_column(name);
    if (f < 0) {
      problem = "unknown column '" + name + "' in table '" + std::string(definition.name()) + "'";
      return false;
    }
    if (definition.is_dropped(f)) {
      problem = "column '" + name + "' has been dropped from the table";
      return false;
    }
    for (const LoadColumn& seen : columns) {
      if (EqualNoCase(seen.name, name)) {
        problem = "column '" + name + "' is named twice";
        return false;
      }
    }
    columns.push_back(LoadColumn{name, definition.column_offset(f), definition.column_size(f)});
  }
  return true;
}

bool BuildRecord(const TableDefinition& definition, const std::vector<LoadColumn>& columns,
                 const std::vector<std::string>& fields, std::string& data, std::string& problem) {
  if (fields.size() != columns.size()) {
    problem = "expected " + std::to_string(columns.size()) + " fields, found " +
              std::to_string(fields.size());
    return false;
  }
  const int32_t length = definition.record_length();
  data.assign(static_cast<size_t>(length > 0 ? length : 0), ' ');
  for (size_t i = 0; i < columns.size(); ++i) {
    const LoadColumn& column = columns[i];
    const std::string& value = fields[i];
    if (value.size() > static_cast<size_t>(column.size)) {
      problem = "the value of column '" + column.name + "' has " + std::to_string(value.size()) +
                " characters; the column holds " + std::to_string(column.size);
      return false;
    }
    if (value.find('\0') != std::string::npos) {
      problem = "the value of column '" + column.name + "' contains a NUL byte";
      return false;
    }
    if (column.offset + column.size > static_cast<int64_t>(data.size())) {
      problem = "the table's record length is smaller than its columns";
      return false;
    }
    data.replace(static_cast<size_t>(column.offset), value.size(), value);
  }
  return true;
}

int LoadCommand(const std::string& data_file, const std::string& table, const std::string& csv_file,
                std::ostream& out, std::ostream& err, bool show_progress) {
  std::string text;
  if (!ReadWholeFile(csv_file, text)) {
    err << "ztadmin: " << csv_file << ": cannot read: " << LastFileError() << "\n";
    return 1;
  }
  Database db(TempFolder());
  TableDefinition definition;
  if (!OpenOffline(db, data_file, err) ||
      !ReadTableOffline(db, data_file, table, definition, err)) {
    return 1;
  }

  CsvReader reader(text);
  std::vector<std::string> fields;
  if (!reader.Next(fields)) {
    err << "ztadmin: " << csv_file << ":" << (reader.error().empty() ? 1 : reader.line()) << ": "
        << (reader.error().empty() ? "no header line" : reader.error()) << "\n";
    return 1;
  }
  std::vector<LoadColumn> columns;
  std::string problem;
  // A table whose columns are all dropped is dumped as a blank header and
  // a blank line per row; such a file loads back (and only into such a
  // table, where a blank header names every column there is).
  bool live_column = false;
  for (int f = 0; f < definition.column_count(); ++f) live_column |= !definition.is_dropped(f);
  const bool blank_header = fields.size() == 1 && TrimBlanks(fields[0]).empty();
  if (blank_header && !live_column) {
    columns.clear();
  } else if (!MapHeader(definition, fields, columns, problem)) {
    err << "ztadmin: " << csv_file << ":1: " << problem << "\n";
    return 1;
  }

  const std::string table_name(definition.name());
  ProgressBar progress(err, show_progress && text.size() >= kProgressThreshold, text.size());
  // Rows go through AddNewRecord inside append batches: the same checks,
  // record images, chain and index keys as row by row, written a batch at
  // a time (engine/append_batch.h). `loaded` counts the committed rows,
  // `pending` those of the open batch.
  if (!db.BeginAppendBatch()) {
    std::string why;
    db.GetLastErrorText(&why);
    err << "ztadmin: " << why << "\n";
    return 1;
  }
  int64_t loaded = 0;
  int64_t pending = 0;
  std::string commit_problem;
  // Each batch is one change of the log: after a crash the database holds
  // whole batches only.
  auto commit = [&] {
    if (!db.CommitAppendBatch(&commit_problem) || !db.Commit(&commit_problem)) return false;
    loaded += pending;
    pending = 0;
    return true;
  };
  auto summary = [&] {
    out << "loaded " << loaded << (loaded == 1 ? " row" : " rows") << " into " << table_name;
  };
  auto fail = [&](int line, const std::string& why) {
    progress.Finish();
    err << "ztadmin: " << csv_file << ":" << line << ": " << why << "\n";
    summary();
    out << "; stopped at line " << line << "\n";
    return 1;
  };
  // A row that cannot be stored: the rows before it stay loaded.
  auto stop = [&](int line, const std::string& why) {
    return fail(line, commit() ? why : commit_problem);
  };
  std::string data;
  while (reader.Next(fields)) {
    if (fields.size() == 1 && fields[0].empty()) {
      if (columns.empty()) {
        fields.clear();  // a row of a table without live columns
      } else if (columns.size() != 1) {
        continue;  // a blank line
      }
    }
    if (!BuildRecord(definition, columns, fields, data, problem))
      return stop(reader.line(), problem);
    int64_t offset = -1;
    std::string why;
    if (!db.AddNewRecord(data, static_cast<int32_t>(data.size()), offset, table_name.c_str(),
                         &why)) {
      return stop(reader.line(), why);
    }
    ++pending;
    if (db.append_batch_full()) {
      if (!commit()) return fail(reader.line(), commit_problem);
      if (!db.BeginAppendBatch()) return fail(reader.line(), "cannot start the next batch");
    }
    progress.Update(reader.position(), loaded + pending);
  }
  if (!reader.error().empty()) return stop(reader.line(), reader.error());
  progress.Finish();
  if (!commit()) {
    err << "ztadmin: " << csv_file << ": " << commit_problem << "\n";
    summary();
    out << "; the last rows were not stored\n";
    return 1;
  }
  summary();
  out << "\n";
  return 0;
}

}  // namespace zt::admin
