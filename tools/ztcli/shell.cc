#include "ztcli/shell.h"

#include <strings.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <fstream>

#include "csv/csv.h"
#include "ztcli/protocol_help.h"
#include "ztcli/query.h"
#include "ztcli/status.h"

namespace ztcli {
namespace {

using ztserver::ErrorCode;
using ztserver::Result;
using ztserver::Status;

// Rows \show asks for per RECORDSETFETCHROWS (the server may send fewer).
constexpr int kRowsPerFetch = 10000;

struct BackslashCommand {
  const char* name;
  const char* args;
  const char* help;
  bool needs_server;  // opens the protocol connection first
  Outcome (Shell::*run)(const std::vector<std::string>& args);
};

// The backslash commands, in the order \help lists them.
const BackslashCommand kBackslashCommands[] = {
    {"\\dt", "", "list the tables", true, &Shell::ListTables},
    {"\\d", "TABLE", "describe a table's columns (type, size, key, dropped)", true,
     &Shell::DescribeTable},
    {"\\show", "TABLE [WHERE col op value [AND ...]] [ORDER BY col [DESC]] [LIMIT n]",
     "show rows as a table", true, &Shell::ShowRows},
    {"\\count", "TABLE [WHERE col op value [AND ...]]", "count rows", true, &Shell::CountRows},
    {"\\status", "", "the server's figures, from its metrics endpoint (-m)", false,
     &Shell::ServerStatus},
    {"\\timing", "[on|off]", "show how long each command takes", false, &Shell::ToggleTiming},
    {"\\x", "[on|off]", "expanded display: one line per column of each row", false,
     &Shell::Expanded},
    {"\\i", "FILE", "run the lines of FILE", false, &Shell::Include},
    {"\\o", "[FILE]", "send results to FILE (appended); without FILE, to the screen", false,
     &Shell::Output},
    {"\\set", "[NAME [VALUE]]", "set a variable, sent as :NAME (h: the last handle)", false,
     &Shell::SetVariable},
    {"\\unset", "NAME", "remove a variable", false, &Shell::UnsetVariable},
    {"\\help", "[COMMAND]", "this list, or what a backslash or protocol command does", false,
     &Shell::Help},
    {"\\q", "", "quit", false, &Shell::Quit},
};

const char* TypeName(int32_t type) {
  switch (type) {
    case 1: return "integer";
    case 2: return "numeric";
    case 3: return "float";
    case 0: return "text";
    default: return nullptr;
  }
}

bool IsNumericType(int32_t type) { return type == 1 || type == 2 || type == 3; }

// Display width of UTF-8 text: one column per character (no wide glyphs).
size_t Width(const std::string& text) {
  size_t width = 0;
  for (const char c : text) width += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return width;
}

int TerminalRows() {
  winsize size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0) return size.ws_row;
  return 24;
}

size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t up = row[j];
      const bool same = std::toupper(static_cast<unsigned char>(a[i - 1])) ==
                        std::toupper(static_cast<unsigned char>(b[j - 1]));
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = up;
    }
  }
  return row[b.size()];
}

// Closes the recordset a backslash command opened, whatever way it ends.
class ScopedRecordset {
 public:
  ScopedRecordset(ztserver::Connection& db, int32_t h) : db_(db), h_(h) {}
  ~ScopedRecordset() {
    if (db_.connected()) (void)db_.RecordsetClose(h_);
  }
  ScopedRecordset(const ScopedRecordset&) = delete;
  ScopedRecordset& operator=(const ScopedRecordset&) = delete;

 private:
  ztserver::Connection& db_;
  int32_t h_;
};

}  // namespace

std::string NearestCommand(std::string_view name) {
  std::string best;
  size_t best_distance = std::max<size_t>(2, name.size() / 3) + 1;
  for (const ztserver::CommandInfo& info : ztserver::Commands()) {
    const std::string_view candidate = info.name;
    // "MOVENEXT" for "RECORDSETMOVENEXT": the prefix left out.
    const std::string_view tail =
        candidate.substr(0, 9) == "RECORDSET" ? candidate.substr(9) : candidate;
    const size_t distance = std::min(EditDistance(name, candidate), EditDistance(name, tail));
    if (distance < best_distance) {
      best_distance = distance;
      best = info.name;
    }
  }
  return best;
}

Outcome Shell::Execute(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
    line.remove_suffix(1);
  }
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  if (line.empty()) return Outcome::kOk;
  const auto start = std::chrono::steady_clock::now();
  const Outcome outcome = line.front() == '\\' ? Backslash(line) : Raw(line);
  if (timing_ && outcome != Outcome::kQuit && line.substr(0, 7) != "\\timing") {
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::fprintf(out_, "Time: %.3f ms\n", ms);
  }
  std::fflush(out_);
  return outcome;
}

Shell::Shell(ztserver::Connection& connection, ShellOptions options)
    : db_(connection), options_(options) {
  variables_["ON_ERROR_STOP"] = options_.stop_on_error ? "on" : "off";
}

Shell::~Shell() {
  if (out_ != stdout) std::fclose(out_);
}

bool Shell::stop_on_error() const {
  const auto it = variables_.find("ON_ERROR_STOP");
  return it != variables_.end() &&
         (strcasecmp(it->second.c_str(), "on") == 0 || it->second == "1");
}

bool Shell::Reconnect() {
  db_.Close();
  opened_ = false;
  variables_.erase("h");
  tables_.clear();
  return Connect();
}

bool Shell::ConnectionDropped() const {
  if (!db_.connected()) return false;
  pollfd waiting{db_.descriptor(), POLLIN, 0};
  return ::poll(&waiting, 1, 0) > 0;
}

bool Shell::Connect() {
  if (db_.connected()) return true;
  if (opened_) {
    std::fprintf(stderr, "ztcli: the connection is closed\n");
    return false;
  }
  opened_ = true;
  const Status status = db_.Open(options_.server);
  if (!status.ok()) {
    const bool unreachable =
        status.code() == ErrorCode::kConnect && status.message().rfind("TLS", 0) != 0;
    std::fprintf(stderr, "ztcli: %s%s\n", status.message().c_str(),
                 unreachable ? " (is ztserver running?)" : "");
  }
  return status.ok();
}

Outcome Shell::Report(const Status& status, std::string_view what) {
  std::fflush(stdout);
  if (status.code() == ErrorCode::kFailed) {
    Error("%.*s: %s\n", static_cast<int>(what.size()), what.data(),
                 status.message().empty() ? "failed (the server gives no reason)"
                                          : status.message().c_str());
    return Outcome::kFailed;
  }
  if (!db_.connected()) {
    std::fprintf(stderr, "ztcli: %s; the connection is closed\n", status.message().c_str());
    return Outcome::kLost;
  }
  Error("%.*s: %s\n", static_cast<int>(what.size()), what.data(),
               status.message().c_str());
  return Outcome::kFailed;
}

Outcome Shell::Raw(std::string_view line) {
  std::string request;
  if (!Substitute(std::string(line), request)) return Outcome::kFailed;
  const std::string name = request.substr(0, request.find('~'));
  if (ztserver::FindCommand(name) == nullptr) {
    const std::string near = NearestCommand(name);
    Error("unknown command '%s', not sent (the server never answers one)%s%s%s\n",
                 name.c_str(), near.empty() ? "" : "; did you mean ", near.c_str(),
                 near.empty() ? ". \\help lists the commands" : "?");
    return Outcome::kFailed;
  }
  if (!Connect()) return Outcome::kLost;
  const ztserver::Reply reply = db_.Call(request);
  if (!reply.answered()) return Report(Status(reply.code, reply.error), name);
  std::fprintf(out_, "%s\n", reply.text.c_str());
  if (reply.ok()) {
    Remember(request, reply.text);
    return Outcome::kOk;
  }
  const Result<std::string> reason = db_.FailureReason(request);
  std::fflush(stdout);
  if (!reason.ok() && !db_.connected()) return Report(reason.status(), name);
  const std::string text = reason.ok() ? *reason : reason.status().message();
  Error("%s\n", text.empty() ? "(the server keeps no reason)" : text.c_str());
  return Outcome::kFailed;
}

bool Shell::Substitute(const std::string& line, std::string& request) {
  request.clear();
  size_t at = 0;
  while (true) {
    const size_t end = std::min(line.find('~', at), line.size());
    const std::string field = line.substr(at, end - at);
    // :NAME, where NAME begins with a letter or _ (so a value like :30 is
    // sent as it is).
    if (field.size() > 1 && field[0] == ':' &&
        (std::isalpha(static_cast<unsigned char>(field[1])) || field[1] == '_')) {
      const auto value = variables_.find(field.substr(1));
      if (value == variables_.end()) {
        Error("%s is not set%s\n", field.c_str(),
              field == ":h" ? " (CREATERECORDSET sets it)" : "; \\set lists the variables");
        return false;
      }
      request += value->second;
    } else {
      request += field;
    }
    if (end == line.size()) return true;
    request += '~';
    at = end + 1;
  }
}

void Shell::Remember(const std::string& request, const std::string& reply) {
  const size_t tilde = reply.find('~');
  const std::string command = reply.substr(0, tilde);
  if (command == "CREATERECORDSET" && tilde != std::string::npos) {
    variables_["h"] = reply.substr(tilde + 1);
    return;
  }
  // RECORDSETOPEN~h~table (and the FLOOR and CEILING opens): the table of
  // the handle, for the completion of its column names.
  if (command.rfind("RECORDSETOPEN", 0) == 0) {
    std::vector<std::string> fields;
    for (size_t at = 0;;) {
      const size_t end = request.find('~', at);
      fields.push_back(request.substr(at, end - at));
      if (end == std::string::npos) break;
      at = end + 1;
    }
    if (fields.size() >= 3) tables_[std::atoi(fields[1].c_str())] = fields[2];
  }
}

void Shell::Error(const char* format, ...) {
  std::fflush(out_);
  std::fprintf(stderr, "%sERROR: ", place_.c_str());
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
}

Outcome Shell::Backslash(std::string_view line) {
  std::vector<std::string> words;
  std::string error;
  if (!SplitWords(line, words, &error)) {
    Error("%s\n", error.c_str());
    return Outcome::kFailed;
  }
  const std::string name = words.front();
  words.erase(words.begin());
  for (const BackslashCommand& command : kBackslashCommands) {
    if (name != command.name) continue;
    if (command.needs_server && !Connect()) return Outcome::kLost;
    return (this->*command.run)(words);
  }
  Error("unknown command %s; \\help lists them\n", name.c_str());
  return Outcome::kFailed;
}

Outcome Shell::ListTables(const std::vector<std::string>& args) {
  if (!args.empty()) {
    Error("\\dt takes no arguments\n");
    return Outcome::kFailed;
  }
  const Result<std::vector<std::string>> names = db_.GetTableNames();
  if (!names.ok()) return Report(names.status(), "\\dt");
  Table table{{"table"}, {false}, {}};
  for (const std::string& name : *names) table.rows.push_back({name});
  Print(table);
  return Outcome::kOk;
}

bool Shell::ReadColumns(int32_t h, std::vector<Column>& columns, Status& status) {
  columns.clear();
  const Result<int32_t> count = db_.RecordsetGetFieldCount(h);
  if (!count.ok()) {
    status = count.status();
    return false;
  }
  const Result<int32_t> rows = db_.RecordsetGetRowCount(h);
  for (int32_t f = 0; f < *count; ++f) {
    const Result<ztserver::FieldInfo> info = db_.RecordsetGetFieldInfo(h, f);
    if (!info.ok()) {
      status = info.status();
      return false;
    }
    Column column{info->name, info->type, info->size, false, false};
    column.key = db_.RecordsetIsFieldKeyColumn(h, f).value_or(false);
    // The metadata does not tell a dropped column; reading it does: on the
    // current row when there is one, else by sorting the empty recordset.
    const Status probe = rows.value_or(0) > 0
                             ? db_.RecordsetGetFieldValue(h, column.name).status()
                             : db_.RecordsetSort(h, column.name);
    if (!db_.connected()) {
      status = probe;
      return false;
    }
    column.dropped = probe.code() == ErrorCode::kFailed &&
                     probe.message().find("Invalid column name") != std::string::npos;
    columns.push_back(column);
  }
  return true;
}

Outcome Shell::DescribeTable(const std::vector<std::string>& args) {
  if (args.size() != 1) {
    Error("usage: \\d TABLE\n");
    return Outcome::kFailed;
  }
  const Result<int32_t> h = db_.CreateRecordset();
  if (!h.ok()) return Report(h.status(), "\\d");
  ScopedRecordset guard(db_, *h);
  if (Status opened = db_.RecordsetOpen(*h, args[0]); !opened.ok()) {
    return Report(opened, "no table " + args[0]);
  }
  std::vector<Column> columns;
  Status status;
  if (!ReadColumns(*h, columns, status)) return Report(status, "\\d " + args[0]);
  Table table{{"#", "column", "type", "size", "flags"}, {true, false, false, true, false}, {}};
  for (size_t i = 0; i < columns.size(); ++i) {
    const Column& c = columns[i];
    const char* type = TypeName(c.type);
    std::string flags = c.key ? "key" : "";
    if (c.dropped) flags += flags.empty() ? "dropped" : " dropped";
    table.rows.push_back({std::to_string(i), c.name,
                          type ? type : "code " + std::to_string(c.type), std::to_string(c.size),
                          flags});
  }
  Print(table);
  return Outcome::kOk;
}

Outcome Shell::Open(int32_t h, const Query& query) {
  for (const Condition& c : query.conditions) {
    if (Status s = db_.RecordsetAddFilterColumn(h, c.column, c.op, c.value); !s.ok()) {
      return Report(s, "WHERE " + c.column);
    }
  }
  if (Status opened = db_.RecordsetOpen(h, query.table); !opened.ok()) {
    if (!query.conditions.empty() && db_.connected() && ReportUnknownColumns(query)) {
      return Outcome::kFailed;
    }
    return Report(opened, query.conditions.empty() ? "no table " + query.table
                                                   : "cannot open " + query.table +
                                                         " with those conditions");
  }
  return Outcome::kOk;
}

namespace {

bool HasName(const std::vector<std::string>& names, const std::string& name) {
  return std::any_of(names.begin(), names.end(),
                     [&](const std::string& n) { return strcasecmp(n.c_str(), name.c_str()) == 0; });
}

std::string JoinNames(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

}  // namespace

bool Shell::ReportUnknownColumns(const Query& query) {
  const std::vector<std::string> columns = ColumnNames(query.table);
  if (columns.empty()) return false;
  bool unknown = false;
  for (const Condition& c : query.conditions) {
    if (HasName(columns, c.column)) continue;
    Error("no column %s in %s (its columns: %s)\n", c.column.c_str(), query.table.c_str(),
          JoinNames(columns).c_str());
    unknown = true;
  }
  return unknown;
}

std::vector<std::string> Shell::ColumnNames(const std::string& table) {
  std::vector<std::string> names;
  const Result<int32_t> h = db_.CreateRecordset();
  if (!h.ok()) return names;
  ScopedRecordset guard(db_, *h);
  if (!db_.RecordsetOpen(*h, table).ok()) return names;
  std::vector<Column> columns;
  Status status;
  if (!ReadColumns(*h, columns, status)) return names;
  for (const Column& c : columns) {
    if (!c.dropped) names.push_back(c.name);
  }
  return names;
}

std::vector<std::string> Shell::TableNames() {
  const Result<std::vector<std::string>> names = db_.GetTableNames();
  return names.ok() ? *names : std::vector<std::string>();
}

Outcome Shell::ShowRows(const std::vector<std::string>& args) {
  Query query;
  std::string error;
  if (!ParseQuery(args, /*allow_order=*/true, query, &error)) {
    Error("%s\nusage: \\show %s\n", error.c_str(),
                 "TABLE [WHERE ...] [ORDER BY col [DESC]] [LIMIT n]");
    return Outcome::kFailed;
  }
  const Result<int32_t> h = db_.CreateRecordset();
  if (!h.ok()) return Report(h.status(), "\\show");
  ScopedRecordset guard(db_, *h);
  if (const Outcome opened = Open(*h, query); opened != Outcome::kOk) return opened;
  std::vector<Column> columns;
  Status status;
  if (!ReadColumns(*h, columns, status)) return Report(status, "\\show " + query.table);
  std::vector<Column> shown;
  for (const Column& c : columns) {
    if (!c.dropped) shown.push_back(c);
  }
  if (!query.order_by.empty()) {
    std::vector<std::string> names;
    for (const Column& c : shown) names.push_back(c.name);
    if (!HasName(names, query.order_by)) {
      Error("no column %s in %s (its columns: %s)\n", query.order_by.c_str(),
            query.table.c_str(), JoinNames(names).c_str());
      return Outcome::kFailed;
    }
    if (Status s = db_.RecordsetSort(*h, query.order_by, !query.descending); !s.ok()) {
      return Report(s, "ORDER BY " + query.order_by);
    }
  }
  const Result<int32_t> count = db_.RecordsetGetRowCount(*h);
  if (!count.ok()) return Report(count.status(), "\\show");
  long wanted = *count;
  if (query.limit && *query.limit < wanted) wanted = *query.limit;

  Table table;
  for (const Column& c : shown) {
    table.header.push_back(c.name);
    table.right.push_back(IsNumericType(c.type));
  }
  // Rows in batches of RECORDSETFETCHROWS (each reply bounded by the
  // server), of the shown columns, until LIMIT or the end.
  std::vector<std::string> column_names;
  for (const Column& c : shown) column_names.push_back(c.name);
  bool more = wanted > 0 && !shown.empty() && db_.RecordsetMoveFirst(*h).ok();
  while (more && static_cast<long>(table.rows.size()) < wanted) {
    const long left = wanted - static_cast<long>(table.rows.size());
    Result<ztserver::RowBatch> batch = db_.RecordsetFetchRows(
        *h, static_cast<int32_t>(std::min<long>(left, kRowsPerFetch)), column_names);
    if (!batch.ok()) return Report(batch.status(), "\\show " + query.table);
    for (std::vector<std::string>& row : batch.value().rows) table.rows.push_back(std::move(row));
    more = !batch->end;
  }
  Print(table);
  return Outcome::kOk;
}

Outcome Shell::CountRows(const std::vector<std::string>& args) {
  Query query;
  std::string error;
  if (!ParseQuery(args, /*allow_order=*/false, query, &error)) {
    Error("%s\nusage: \\count %s\n", error.c_str(),
                 "TABLE [WHERE col op value [AND ...]]");
    return Outcome::kFailed;
  }
  const Result<int32_t> h = db_.CreateRecordset();
  if (!h.ok()) return Report(h.status(), "\\count");
  ScopedRecordset guard(db_, *h);
  if (const Outcome opened = Open(*h, query); opened != Outcome::kOk) return opened;
  const Result<int32_t> count = db_.RecordsetGetRowCount(*h);
  if (!count.ok()) return Report(count.status(), "\\count");
  std::fprintf(out_, "%d\n", *count);
  return Outcome::kOk;
}

Outcome Shell::ToggleTiming(const std::vector<std::string>& args) {
  if (args.empty()) {
    timing_ = !timing_;
  } else if (args.size() == 1 && (strcasecmp(args[0].c_str(), "on") == 0 ||
                                  strcasecmp(args[0].c_str(), "off") == 0)) {
    timing_ = strcasecmp(args[0].c_str(), "on") == 0;
  } else {
    Error("usage: \\timing [on|off]\n");
    return Outcome::kFailed;
  }
  std::fprintf(out_, "Timing is %s.\n", timing_ ? "on" : "off");
  return Outcome::kOk;
}

Outcome Shell::ServerStatus(const std::vector<std::string>& args) {
  if (!args.empty()) {
    Error("\\status takes no arguments\n");
    return Outcome::kFailed;
  }
  return zt::cli::PrintStatus(options_.metrics_host, options_.metrics_port,
                              options_.server.reply_timeout_ms, stdout) == 0
             ? Outcome::kOk
             : Outcome::kUnreachable;
}

Outcome Shell::Help(const std::vector<std::string>& args) {
  if (args.size() > 1) {
    Error("usage: \\help [COMMAND]\n");
    return Outcome::kFailed;
  }
  if (args.size() == 1) {
    std::string name = args[0];
    if (name.front() != '\\' && ztserver::FindCommand(name) == nullptr) name = "\\" + name;
    for (const BackslashCommand& command : kBackslashCommands) {
      if (name != command.name) continue;
      std::fprintf(out_, "%s%s%s\n  %s\n", command.name, *command.args ? " " : "", command.args,
                   command.help);
      return Outcome::kOk;
    }
    const std::string text = ProtocolHelp(args[0]);
    if (text.empty()) {
      const std::string near = NearestCommand(args[0]);
      Error("no command %s%s%s%s\n", args[0].c_str(), near.empty() ? "" : "; did you mean ",
            near.c_str(), near.empty() ? "" : "?");
      return Outcome::kFailed;
    }
    std::fputs(text.c_str(), out_);
    return Outcome::kOk;
  }
  std::fprintf(out_, "Backslash commands:\n");
  for (const BackslashCommand& command : kBackslashCommands) {
    const std::string usage = std::string(command.name) + (*command.args ? " " : "") + command.args;
    std::fprintf(out_, "  %-28s %s\n", usage.c_str(), command.help);
  }
  std::fprintf(out_, 
      "\nAnything else is a protocol request, sent as typed (fields separated by ~),\n"
      "for example CREATERECORDSET or RECORDSETOPEN~1~Customers. A FAILED reply is\n"
      "followed by its reason. \\help COMMAND tells what one does; the commands:\n");
  size_t column = 0;
  for (const ztserver::CommandInfo& info : ztserver::Commands()) {
    const size_t length = std::string_view(info.name).size() + 2;
    if (column + length > 78) {
      std::fprintf(out_, "\n");
      column = 0;
    }
    std::fprintf(out_, "  %s", info.name);
    column += length;
  }
  std::fprintf(out_, "\n");
  return Outcome::kOk;
}

Outcome Shell::Quit(const std::vector<std::string>&) { return Outcome::kQuit; }

namespace {

// "on"/"off" into flag; no word toggles it. False for any other word.
bool OnOff(const std::vector<std::string>& args, bool& flag) {
  if (args.empty()) {
    flag = !flag;
    return true;
  }
  if (args.size() != 1) return false;
  if (strcasecmp(args[0].c_str(), "on") == 0) {
    flag = true;
  } else if (strcasecmp(args[0].c_str(), "off") == 0) {
    flag = false;
  } else {
    return false;
  }
  return true;
}

// Deep enough for any sensible nesting; a file that includes itself stops.
constexpr int kMaxIncludeDepth = 16;

}  // namespace

Outcome Shell::Expanded(const std::vector<std::string>& args) {
  if (!OnOff(args, expanded_)) {
    Error("usage: \\x [on|off]\n");
    return Outcome::kFailed;
  }
  std::fprintf(out_, "Expanded display is %s.\n", expanded_ ? "on" : "off");
  return Outcome::kOk;
}

Outcome Shell::Include(const std::vector<std::string>& args) {
  if (args.size() != 1) {
    Error("usage: \\i FILE\n");
    return Outcome::kFailed;
  }
  if (include_depth_ >= kMaxIncludeDepth) {
    Error("\\i %s: files include each other deeper than %d\n", args[0].c_str(),
          kMaxIncludeDepth);
    return Outcome::kFailed;
  }
  std::ifstream in(args[0]);
  if (!in) {
    Error("\\i %s: cannot read the file\n", args[0].c_str());
    return Outcome::kFailed;
  }
  ++include_depth_;
  const std::string place = place_;
  const Outcome outcome = RunScript(in, args[0]);
  place_ = place;
  --include_depth_;
  return outcome;
}

Outcome Shell::Output(const std::vector<std::string>& args) {
  if (args.size() > 1) {
    Error("usage: \\o [FILE]\n");
    return Outcome::kFailed;
  }
  std::FILE* next = stdout;
  if (args.size() == 1) {
    next = std::fopen(args[0].c_str(), "ae");
    if (next == nullptr) {
      Error("\\o %s: cannot write the file\n", args[0].c_str());
      return Outcome::kFailed;
    }
  }
  if (out_ != stdout) std::fclose(out_);
  out_ = next;
  return Outcome::kOk;
}

Outcome Shell::SetVariable(const std::vector<std::string>& args) {
  if (args.empty()) {
    for (const auto& [name, value] : variables_) {
      std::fprintf(out_, "%s = '%s'\n", name.c_str(), value.c_str());
    }
    return Outcome::kOk;
  }
  const std::string& name = args[0];
  const bool plain = std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
  });
  if (!plain || args.size() > 2) {
    Error("usage: \\set [NAME [VALUE]] (a NAME of letters, digits and _)\n");
    return Outcome::kFailed;
  }
  variables_[name] = args.size() == 2 ? args[1] : "";
  return Outcome::kOk;
}

Outcome Shell::UnsetVariable(const std::vector<std::string>& args) {
  if (args.size() != 1) {
    Error("usage: \\unset NAME\n");
    return Outcome::kFailed;
  }
  variables_.erase(args[0]);
  return Outcome::kOk;
}

Outcome Shell::RunScript(std::istream& in, const std::string& name) {
  Outcome worst = Outcome::kOk;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!name.empty()) place_ = name + ":" + std::to_string(number) + ": ";
    const Outcome outcome = Execute(line);
    if (outcome == Outcome::kQuit || outcome == Outcome::kLost) return outcome;
    if (outcome == Outcome::kFailed || outcome == Outcome::kUnreachable) {
      worst = outcome == Outcome::kUnreachable ? outcome : std::max(worst, Outcome::kFailed);
      if (stop_on_error()) {
        std::fprintf(stderr, "ztcli: %s%s%d: stopped at the first failure (ON_ERROR_STOP)\n",
                     name.c_str(), name.empty() ? "command " : ":", number);
        stopped_ = true;
        return Outcome::kFailed;
      }
    }
  }
  place_.clear();
  return worst;
}

std::vector<std::string> Shell::Complete(std::string_view before, std::string_view word) {
  std::vector<std::string> candidates;
  auto add = [&](const std::string& name, bool upper) {
    if (name.size() < word.size() || strncasecmp(name.c_str(), word.data(), word.size()) != 0) {
      return;
    }
    // A protocol name is completed in the case the user began it in.
    std::string shown = name;
    if (upper && !word.empty() && std::islower(static_cast<unsigned char>(word[0]))) {
      for (char& c : shown) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    candidates.push_back(shown);
  };
  const size_t first = before.find_first_not_of(" \t");
  const std::string_view head = first == std::string_view::npos ? "" : before.substr(first);
  if (head.empty()) {
    if (!word.empty() && word[0] == '\\') {
      for (const BackslashCommand& command : kBackslashCommands) add(command.name, false);
    } else {
      for (const ztserver::CommandInfo& info : ztserver::Commands()) add(info.name, true);
    }
    return candidates;
  }
  if (head[0] == '\\') {
    std::vector<std::string> words;
    if (!SplitWords(head, words, nullptr) || words.empty()) return candidates;
    const std::string& command = words[0];
    if (command == "\\help" && words.size() == 1) {
      for (const BackslashCommand& c : kBackslashCommands) add(c.name, false);
      for (const ztserver::CommandInfo& info : ztserver::Commands()) add(info.name, true);
      return candidates;
    }
    if (command != "\\d" && command != "\\show" && command != "\\count") return candidates;
    if (!db_.connected() && !Connect()) return candidates;
    if (words.size() == 1) {
      for (const std::string& table : TableNames()) add(table, false);
      return candidates;
    }
    if (command == "\\d") return candidates;
    for (const std::string& column : ColumnNames(words[1])) add(column, false);
    for (const char* keyword : {"WHERE", "AND", "ORDER", "BY", "DESC", "ASC", "LIMIT"}) {
      add(keyword, true);
    }
    return candidates;
  }
  // A request: its fields so far.
  std::vector<std::string> fields;
  for (size_t at = 0;;) {
    const size_t end = head.find('~', at);
    if (end == std::string_view::npos) break;
    fields.emplace_back(head.substr(at, end - at));
    at = end + 1;
  }
  if (fields.empty()) return candidates;
  const ztserver::CommandInfo* info = ztserver::FindCommand(fields[0]);
  if (info == nullptr || !info->has_handle || fields.size() < 2) return candidates;
  if (!db_.connected() && !Connect()) return candidates;
  std::string name = info->name;
  if (fields.size() == 2 && name.rfind("RECORDSETOPEN", 0) == 0) {
    for (const std::string& table : TableNames()) add(table, false);
    return candidates;
  }
  std::string handle = fields[1];
  if (handle.size() > 1 && handle[0] == ':') {
    const auto value = variables_.find(handle.substr(1));
    if (value == variables_.end()) return candidates;
    handle = value->second;
  }
  // The column of a FLOOR or CEILING open follows its table; these others
  // take a column right after the handle, of the table it was opened on.
  std::string table;
  if (fields.size() == 3 && (name == "RECORDSETOPENFLOOR" || name == "RECORDSETOPENCEILING")) {
    table = fields[2];
  } else if (fields.size() == 2 &&
             (name == "RECORDSETSETFIELDVALUE" || name == "RECORDSETGETFIELDVALUE" ||
              name == "RECORDSETSORT" || name == "RECORDSETFINDROW" ||
              name == "RECORDSETADDFILTERCOLUMN" || name == "RECORDSETFILTERON")) {
    const auto opened = tables_.find(std::atoi(handle.c_str()));
    if (opened != tables_.end()) table = opened->second;
  }
  if (!table.empty()) {
    for (const std::string& column : ColumnNames(table)) add(column, false);
  }
  return candidates;
}

void Shell::Print(const Table& table) {
  if (options_.csv) {
    for (size_t i = 0; i < table.header.size(); ++i) {
      std::fprintf(out_, "%s%s", i ? "," : "", zt::CsvField(table.header[i]).c_str());
    }
    std::fprintf(out_, "\n");
    for (const auto& row : table.rows) {
      for (size_t i = 0; i < row.size(); ++i) {
        std::fprintf(out_, "%s%s", i ? "," : "", zt::CsvField(row[i]).c_str());
      }
      std::fprintf(out_, "\n");
    }
    return;
  }
  std::string out;
  if (expanded_) {
    // One block per row, one line per column: "-[ RECORD n ]" then
    // "name | value" with the names aligned.
    size_t name_width = 0, value_width = 0;
    for (const std::string& name : table.header) name_width = std::max(name_width, Width(name));
    for (const auto& row : table.rows) {
      for (const std::string& value : row) value_width = std::max(value_width, Width(value));
    }
    for (size_t r = 0; r < table.rows.size(); ++r) {
      std::string title = "-[ RECORD " + std::to_string(r + 1) + " ]";
      const size_t width = name_width + 3 + value_width;
      if (Width(title) < width) title += std::string(width - Width(title), '-');
      out += title + "\n";
      for (size_t i = 0; i < table.header.size(); ++i) {
        const std::string& name = table.header[i];
        out += name + std::string(name_width - Width(name), ' ') + " | " +
               (i < table.rows[r].size() ? table.rows[r][i] : "");
        out.erase(out.find_last_not_of(' ') + 1);
        out += "\n";
      }
    }
    if (table.rows.empty()) out += "(0 rows)\n";
    std::fwrite(out.data(), 1, out.size(), out_);
    return;
  }
  std::vector<size_t> widths(table.header.size());
  for (size_t i = 0; i < widths.size(); ++i) widths[i] = Width(table.header[i]);
  for (const auto& row : table.rows) {
    for (size_t i = 0; i < row.size() && i < widths.size(); ++i) {
      widths[i] = std::max(widths[i], Width(row[i]));
    }
  }
  auto cell = [&](const std::string& text, size_t i, bool right) {
    const std::string pad(widths[i] - Width(text), ' ');
    out += i ? " | " : " ";
    out += right ? pad + text : text + pad;
  };
  for (size_t i = 0; i < widths.size(); ++i) cell(table.header[i], i, false);
  out.erase(out.find_last_not_of(' ') + 1);
  out += "\n";
  for (size_t i = 0; i < widths.size(); ++i) {
    out += i ? "-+-" : "-";
    out += std::string(widths[i], '-');
  }
  out += "-\n";
  for (const auto& row : table.rows) {
    for (size_t i = 0; i < widths.size(); ++i) {
      cell(i < row.size() ? row[i] : "", i, table.right[i]);
    }
    out.erase(out.find_last_not_of(' ') + 1);
    out += "\n";
  }
  out += "(" + std::to_string(table.rows.size()) +
         (table.rows.size() == 1 ? " row)\n" : " rows)\n");
  // A result taller than the terminal goes through the pager; "|| cat"
  // keeps it when there is none.
  if (options_.page && out_ == stdout &&
      static_cast<int>(table.rows.size()) + 4 > TerminalRows()) {
    const char* pager = std::getenv("PAGER");
    const std::string command = pager && *pager ? pager : "less -FRSX 2>/dev/null || cat";
    std::fflush(stdout);
    // A Ctrl-C in the pager is the pager's: the shell's own handler would
    // take it for an abandoned request.
    struct sigaction ignore {}, saved {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGINT, &ignore, &saved);
    FILE* pipe = ::popen(command.c_str(), "w");
    if (pipe != nullptr) {
      std::fwrite(out.data(), 1, out.size(), pipe);
      ::pclose(pipe);
    }
    ::sigaction(SIGINT, &saved, nullptr);
    if (pipe != nullptr) return;
  }
  std::fwrite(out.data(), 1, out.size(), out_);
}

}  // namespace ztcli
