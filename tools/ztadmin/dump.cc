#include "ztadmin/dump.h"

#include <ostream>
#include <vector>

#include "csv/csv.h"
#include "engine/database.h"
#include "engine/file.h"
#include "ztadmin/commands.h"
#include "ztadmin/progress.h"
#include "ztadmin/rows.h"

namespace zt::admin {
namespace {

// Output is gathered in a buffer and handed on in pieces of about this
// size, so a large table never sits in memory twice.
constexpr size_t kFlushBytes = size_t{1} << 20;
constexpr char kHexDigits[] = "0123456789abcdef";

// Where a dump's bytes go: standard output or a file of the dump folder.
// A failed write is remembered; later writes are dropped.
class Output {
 public:
  explicit Output(std::ostream& out) : stream_(&out) {}
  explicit Output(FileHandle file) : file_(file) {}

  std::string& buffer() { return buffer_; }
  void FlushIfFull() {
    if (buffer_.size() >= kFlushBytes) Flush();
  }
  // True when everything so far reached its destination.
  bool Flush() {
    if (ok_ && !buffer_.empty()) {
      if (stream_ != nullptr) {
        stream_->write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
        ok_ = static_cast<bool>(stream_->flush());
      } else {
        int64_t offset = 0;
        ok_ = FileAppend(file_, buffer_.data(), buffer_.size(), offset) != 0;
      }
    }
    buffer_.clear();
    return ok_;
  }

 private:
  std::ostream* stream_ = nullptr;
  FileHandle file_ = kNoFile;
  std::string buffer_;
  bool ok_ = true;
};

void AppendCsvRow(std::string& out, const std::vector<std::string_view>& values) {
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += ',';
    out += CsvField(std::string(values[i]));
  }
  out += '\n';
}

// Writes the live records of one table; false when the chain is broken
// (err says why). Write failures are left in out.
bool WriteTable(Database& db, const TableDefinition& definition, DumpFormat format, Output& out,
                ProgressLine& progress, std::ostream& err) {
  const std::vector<int> columns = LiveColumns(definition);
  const std::string table(definition.name());
  // The parts of a JSON line that are the same for every record.
  std::string json_table;
  std::vector<std::string> json_names;
  std::vector<bool> numeric;
  if (format == DumpFormat::kCsv) {
    std::vector<std::string_view> names;
    for (const int f : columns) names.push_back(definition.column_name(f));
    AppendCsvRow(out.buffer(), names);
  } else {
    AppendJsonString(json_table, table);
    for (const int f : columns) {
      std::string name;
      AppendJsonString(name, definition.column_name(f));
      json_names.push_back(name + ":");
      numeric.push_back(IsNumericType(definition.column_type(f)));
    }
  }

  int64_t rows = 0;
  std::string problem;
  const bool whole = ForEachLiveRow(
      db, definition,
      [&](const std::vector<std::string_view>& values) {
        std::string& line = out.buffer();
        if (format == DumpFormat::kCsv) {
          AppendCsvRow(line, values);
        } else {
          line += "{\"table\":" + json_table + ",\"record\":{";
          for (size_t i = 0; i < values.size(); ++i) {
            if (i > 0) line += ',';
            line += json_names[i];
            if (numeric[i] && IsJsonNumber(values[i])) {
              line += values[i];
            } else {
              AppendJsonString(line, values[i]);
            }
          }
          line += "}}\n";
        }
        out.FlushIfFull();
        if (++rows % 4096 == 0) progress.Show("dump " + table, rows, 0);
      },
      problem);
  if (!whole) {
    progress.Finish();
    err << "ztadmin: table '" << table << "': " << problem << "\n";
  }
  return whole;
}

// The folder a dump folder is made in ("." for a bare name).
std::string ParentOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The folder a dump is written into before it gets its name: removed with
// what it holds unless Keep() was called.
class PartialFolder {
 public:
  explicit PartialFolder(std::string path) : path_(std::move(path)) {}
  PartialFolder(const PartialFolder&) = delete;
  PartialFolder& operator=(const PartialFolder&) = delete;
  ~PartialFolder() {
    if (kept_) return;
    for (const std::string& file : files_) FileDelete(file);
    RemoveFolder(path_);
  }
  const std::string& path() const { return path_; }
  void AddFile(const std::string& file) { files_.push_back(file); }
  void Keep() { kept_ = true; }

 private:
  std::string path_;
  std::vector<std::string> files_;
  bool kept_ = false;
};

int DumpToFolder(Database& db, const std::vector<TableDefinition>& tables,
                 const std::string& folder, std::ostream& out, std::ostream& err,
                 ProgressLine& progress) {
  const auto fail = [&](const std::string& what) {
    progress.Finish();
    err << "ztadmin: dump: " << what << ": " << LastFileError() << " (nothing was written to "
        << folder << ")\n";
    return 1;
  };
  PartialFolder partial(folder + ".partial");
  if (!MakeFolder(partial.path())) return fail("cannot make " + partial.path());
  for (const TableDefinition& definition : tables) {
    const std::string path = partial.path() + "/" + TableFileName(definition.name());
    partial.AddFile(path);
    File file;
    if (!FileCreate(path) || !file.Open(path, 0)) return fail("cannot create " + path);
    Output output(file.handle());
    if (!WriteTable(db, definition, DumpFormat::kCsv, output, progress, err)) return 1;
    if (!output.Flush()) return fail("cannot write " + path);
    if (!FileSync(file.handle()) || !file.Close()) return fail("cannot write " + path);
  }
  if (!FolderSync(partial.path())) return fail("cannot sync " + partial.path());
  if (!RenamePath(partial.path(), folder)) return fail("cannot rename it to " + folder);
  partial.Keep();
  // The rename is made durable; the dump is whole under its name already.
  if (!FolderSync(ParentOf(folder))) return fail("cannot sync " + ParentOf(folder));
  progress.Finish();
  out << "wrote " << tables.size() << (tables.size() == 1 ? " table" : " tables") << " into "
      << folder << "\n";
  return 0;
}

}  // namespace

bool ParseDumpArgs(std::span<const std::string> args, DumpRequest& request, std::string& problem) {
  request = DumpRequest{};
  std::vector<std::string> words;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--format" || arg == "--folder") {
      if (i + 1 >= args.size()) {
        problem = arg + " needs a value";
        return false;
      }
      const std::string& value = args[++i];
      if (arg == "--folder") {
        request.folder = value;
      } else if (value == "csv" || value == "json") {
        request.format = value == "csv" ? DumpFormat::kCsv : DumpFormat::kJson;
      } else {
        problem = "--format takes csv or json, not '" + value + "'";
        return false;
      }
    } else if (arg.starts_with("--")) {
      problem = "dump has no option " + arg;
      return false;
    } else {
      words.push_back(arg);
    }
  }
  if (words.empty() || words.size() > 2) {
    problem = "dump takes DATAFILE [TABLE] [--format csv|json] [--folder DIR]";
    return false;
  }
  request.data_file = words[0];
  if (words.size() == 2) request.table = words[1];
  if (!request.folder.empty() && (!request.table.empty() || request.format != DumpFormat::kCsv)) {
    problem = "--folder writes every table as CSV: give it no TABLE and no --format json";
    return false;
  }
  if (request.table.empty() && request.folder.empty() && request.format == DumpFormat::kCsv) {
    problem = "a dump of every table needs --folder DIR (CSV) or --format json";
    return false;
  }
  return true;
}

int DumpCommand(const DumpRequest& request, std::ostream& out, std::ostream& err,
                bool show_progress) {
  if (!request.folder.empty()) {
    for (const std::string& path : {request.folder, request.folder + ".partial"}) {
      if (PathExists(path)) {
        err << "ztadmin: dump: " << path << " exists already"
            << (path == request.folder ? "" : " (left by an interrupted dump? remove it)")
            << "\n";
        return 1;
      }
    }
  }
  Database db(TempFolder());
  if (!OpenOffline(db, request.data_file, err)) return 1;
  std::vector<TableDefinition> tables(1);
  if (request.table.empty() ? !ReadAllTablesOffline(db, request.data_file, tables, err)
                            : !ReadTableOffline(db, request.data_file, request.table, tables[0],
                                                err)) {
    return 1;
  }
  ProgressLine progress(err, show_progress);
  if (!request.folder.empty()) {
    return DumpToFolder(db, tables, request.folder, out, err, progress);
  }
  Output output(out);
  for (const TableDefinition& definition : tables) {
    if (!WriteTable(db, definition, request.format, output, progress, err)) return 1;
  }
  progress.Finish();
  if (!output.Flush()) {
    err << "ztadmin: dump: cannot write to standard output\n";
    return 1;
  }
  return 0;
}

std::string TableFileName(std::string_view table) {
  std::string name;
  for (size_t i = 0; i < table.size(); ++i) {
    const auto c = static_cast<unsigned char>(table[i]);
    if (c < 0x20 || c == 0x7F || c == '/' || c == '%' || (i == 0 && c == '.')) {
      name += '%';
      name += kHexDigits[c >> 4];
      name += kHexDigits[c & 0xF];
    } else {
      name += static_cast<char>(c);
    }
  }
  return name + ".csv";
}

bool IsJsonNumber(std::string_view text) {
  size_t i = 0;
  const auto digits = [&] {
    const size_t start = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    return i > start;
  };
  if (i < text.size() && text[i] == '-') ++i;
  if (i < text.size() && text[i] == '0') {
    ++i;
  } else if (!digits()) {
    return false;
  }
  if (i < text.size() && text[i] == '.') {
    ++i;
    if (!digits()) return false;
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == text.size();
}

void AppendJsonString(std::string& out, std::string_view text) {
  std::string utf8;
  AppendAsUtf8(utf8, text);
  out += '"';
  for (const char c : utf8) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out += "\\u00";
          out += kHexDigits[(c >> 4) & 0xF];
          out += kHexDigits[c & 0xF];
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

}  // namespace zt::admin
