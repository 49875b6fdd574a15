#include "ztcli/shell.h"

#include <strings.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "csv/csv.h"
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
    {"\\help", "", "this list", false, &Shell::Help},
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
    std::printf("Time: %.3f ms\n", ms);
  }
  std::fflush(stdout);
  return outcome;
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
    std::fprintf(stderr, "ERROR: %.*s: %s\n", static_cast<int>(what.size()), what.data(),
                 status.message().empty() ? "failed (the server gives no reason)"
                                          : status.message().c_str());
    return Outcome::kFailed;
  }
  if (!db_.connected()) {
    std::fprintf(stderr, "ztcli: %s; the connection is closed\n", status.message().c_str());
    return Outcome::kLost;
  }
  std::fprintf(stderr, "ERROR: %.*s: %s\n", static_cast<int>(what.size()), what.data(),
               status.message().c_str());
  return Outcome::kFailed;
}

Outcome Shell::Raw(std::string_view line) {
  const std::string request(line);
  const std::string name = request.substr(0, request.find('~'));
  if (ztserver::FindCommand(name) == nullptr) {
    const std::string near = NearestCommand(name);
    std::fprintf(stderr, "ERROR: unknown command '%s', not sent (the server never answers one)%s%s%s\n",
                 name.c_str(), near.empty() ? "" : "; did you mean ", near.c_str(),
                 near.empty() ? ". \\help lists the commands" : "?");
    return Outcome::kFailed;
  }
  if (!Connect()) return Outcome::kLost;
  const ztserver::Reply reply = db_.Call(request);
  if (!reply.answered()) return Report(Status(reply.code, reply.error), name);
  std::printf("%s\n", reply.text.c_str());
  if (reply.ok()) return Outcome::kOk;
  const Result<std::string> reason = db_.FailureReason(request);
  std::fflush(stdout);
  if (!reason.ok() && !db_.connected()) return Report(reason.status(), name);
  const std::string text = reason.ok() ? *reason : reason.status().message();
  std::fprintf(stderr, "ERROR: %s\n", text.empty() ? "(the server keeps no reason)" : text.c_str());
  return Outcome::kFailed;
}

Outcome Shell::Backslash(std::string_view line) {
  std::vector<std::string> words;
  std::string error;
  if (!SplitWords(line, words, &error)) {
    std::fprintf(stderr, "ERROR: %s\n", error.c_str());
    return Outcome::kFailed;
  }
  const std::string name = words.front();
  words.erase(words.begin());
  for (const BackslashCommand& command : kBackslashCommands) {
    if (name != command.name) continue;
    if (command.needs_server && !Connect()) return Outcome::kLost;
    return (this->*command.run)(words);
  }
  std::fprintf(stderr, "ERROR: unknown command %s; \\help lists them\n", name.c_str());
  return Outcome::kFailed;
}

Outcome Shell::ListTables(const std::vector<std::string>& args) {
  if (!args.empty()) {
    std::fprintf(stderr, "ERROR: \\dt takes no arguments\n");
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
    std::fprintf(stderr, "ERROR: usage: \\d TABLE\n");
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
    return Report(opened, query.conditions.empty() ? "no table " + query.table
                                                   : "cannot open " + query.table +
                                                         " with those conditions");
  }
  return Outcome::kOk;
}

Outcome Shell::ShowRows(const std::vector<std::string>& args) {
  Query query;
  std::string error;
  if (!ParseQuery(args, /*allow_order=*/true, query, &error)) {
    std::fprintf(stderr, "ERROR: %s\nusage: \\show %s\n", error.c_str(),
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
    std::fprintf(stderr, "ERROR: %s\nusage: \\count %s\n", error.c_str(),
                 "TABLE [WHERE col op value [AND ...]]");
    return Outcome::kFailed;
  }
  const Result<int32_t> h = db_.CreateRecordset();
  if (!h.ok()) return Report(h.status(), "\\count");
  ScopedRecordset guard(db_, *h);
  if (const Outcome opened = Open(*h, query); opened != Outcome::kOk) return opened;
  const Result<int32_t> count = db_.RecordsetGetRowCount(*h);
  if (!count.ok()) return Report(count.status(), "\\count");
  std::printf("%d\n", *count);
  return Outcome::kOk;
}

Outcome Shell::ToggleTiming(const std::vector<std::string>& args) {
  if (args.empty()) {
    timing_ = !timing_;
  } else if (args.size() == 1 && (strcasecmp(args[0].c_str(), "on") == 0 ||
                                  strcasecmp(args[0].c_str(), "off") == 0)) {
    timing_ = strcasecmp(args[0].c_str(), "on") == 0;
  } else {
    std::fprintf(stderr, "ERROR: usage: \\timing [on|off]\n");
    return Outcome::kFailed;
  }
  std::printf("Timing is %s.\n", timing_ ? "on" : "off");
  return Outcome::kOk;
}

Outcome Shell::ServerStatus(const std::vector<std::string>& args) {
  if (!args.empty()) {
    std::fprintf(stderr, "ERROR: \\status takes no arguments\n");
    return Outcome::kFailed;
  }
  return zt::cli::PrintStatus(options_.metrics_host, options_.metrics_port,
                              options_.server.reply_timeout_ms, stdout) == 0
             ? Outcome::kOk
             : Outcome::kUnreachable;
}

Outcome Shell::Help(const std::vector<std::string>&) {
  std::printf("Backslash commands:\n");
  for (const BackslashCommand& command : kBackslashCommands) {
    const std::string usage = std::string(command.name) + (*command.args ? " " : "") + command.args;
    std::printf("  %-28s %s\n", usage.c_str(), command.help);
  }
  std::printf(
      "\nAnything else is a protocol request, sent as typed (fields separated by ~),\n"
      "for example CREATERECORDSET or RECORDSETOPEN~1~Customers. A FAILED reply is\n"
      "followed by its reason. The commands (docs/protocol.md describes them):\n");
  size_t column = 0;
  for (const ztserver::CommandInfo& info : ztserver::Commands()) {
    const size_t length = std::string_view(info.name).size() + 2;
    if (column + length > 78) {
      std::printf("\n");
      column = 0;
    }
    std::printf("  %s", info.name);
    column += length;
  }
  std::printf("\n");
  return Outcome::kOk;
}

Outcome Shell::Quit(const std::vector<std::string>&) { return Outcome::kQuit; }

void Shell::Print(const Table& table) {
  if (options_.csv) {
    for (size_t i = 0; i < table.header.size(); ++i) {
      std::printf("%s%s", i ? "," : "", zt::CsvField(table.header[i]).c_str());
    }
    std::printf("\n");
    for (const auto& row : table.rows) {
      for (size_t i = 0; i < row.size(); ++i) {
        std::printf("%s%s", i ? "," : "", zt::CsvField(row[i]).c_str());
      }
      std::printf("\n");
    }
    return;
  }
  std::vector<size_t> widths(table.header.size());
  for (size_t i = 0; i < widths.size(); ++i) widths[i] = Width(table.header[i]);
  for (const auto& row : table.rows) {
    for (size_t i = 0; i < row.size() && i < widths.size(); ++i) {
      widths[i] = std::max(widths[i], Width(row[i]));
    }
  }
  std::string out;
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
  if (options_.page && static_cast<int>(table.rows.size()) + 4 > TerminalRows()) {
    const char* pager = std::getenv("PAGER");
    const std::string command = pager && *pager ? pager : "less -FRSX 2>/dev/null || cat";
    std::fflush(stdout);
    if (FILE* pipe = ::popen(command.c_str(), "w")) {
      std::fwrite(out.data(), 1, out.size(), pipe);
      ::pclose(pipe);
      return;
    }
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
}

}  // namespace ztcli
