#include "ztadmin/export_sql.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ostream>
#include <vector>

#include "engine/database.h"
#include "engine/definition.h"
#include "engine/file.h"
#include "ztadmin/commands.h"
#include "ztadmin/progress.h"
#include "ztadmin/rows.h"

namespace zt::admin {
namespace {

// The largest size of an integer column whose values all fit a bigint:
// 18 characters hold at most 18 digits, and 10^18 - 1 < 2^63.
constexpr int32_t kBigintDigits = 18;
// varchar(n) takes n up to this (PostgreSQL's limit).
constexpr int32_t kMaxVarcharLength = 10485760;
// numeric's input takes exponents up to this magnitude.
constexpr int kMaxNumericExponent = 1000;

constexpr size_t kFlushBytes = size_t{1} << 20;

// [+-]digits
bool IsWholeNumber(std::string_view s) {
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
  if (s.empty()) return false;
  for (const char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// [+-](digits[.digits] | .digits)[(e|E)[+-]digits], the exponent at most
// kMaxNumericExponent: what numeric and double precision both read.
bool IsDecimalNumber(std::string_view s) {
  size_t i = 0;
  const auto digits = [&] {
    const size_t start = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
    return i - start;
  };
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  size_t mantissa = digits();
  if (i < s.size() && s[i] == '.') {
    ++i;
    mantissa += digits();
  }
  if (mantissa == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    const size_t start = i;
    if (digits() == 0) return false;
    const std::string_view exponent = s.substr(start, i - start);
    if (exponent.size() > 4 || std::atoi(std::string(exponent).c_str()) > kMaxNumericExponent) {
      return false;
    }
  }
  return i == s.size();
}

// PostgreSQL refuses a double that overflows, or that underflows to zero.
bool FitsDouble(std::string_view s) {
  const std::string text(s);
  errno = 0;
  const double value = std::strtod(text.c_str(), nullptr);
  return errno != ERANGE || (value != 0.0 && !std::isinf(value));
}

// Text for a "--" comment line: UTF-8, control characters made blanks.
std::string CommentText(std::string_view text) {
  std::string out;
  AppendAsUtf8(out, text);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  return out;
}

void AppendCopyRow(std::string& out, const std::vector<std::string_view>& values,
                   const std::vector<bool>& numeric) {
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += '\t';
    if (numeric[i] && values[i].empty()) {
      out += "\\N";
    } else {
      AppendCopyValue(out, values[i]);
    }
  }
  out += '\n';
}

// Writes one table: CREATE TABLE, COPY, CREATE INDEX. False when its chain
// is broken or out failed.
bool ExportTable(Database& db, const TableDefinition& definition, std::ostream& out,
                 ProgressLine& progress, std::ostream& err) {
  const std::string table(definition.name());
  const std::vector<int> columns = LiveColumns(definition);
  std::vector<bool> numeric;
  std::vector<std::string> refused(columns.size());  // a value the column's type refuses
  for (const int f : columns) numeric.push_back(IsNumericType(definition.column_type(f)));

  std::string problem;
  const auto chain_broken = [&] {
    progress.Finish();
    err << "ztadmin: table '" << table << "': " << problem << "\n";
    return false;
  };

  // First pass: does every value of each numeric column load as its type?
  const bool whole = ForEachLiveRow(
      db, definition,
      [&](const std::vector<std::string_view>& values) {
        for (size_t i = 0; i < values.size(); ++i) {
          if (!numeric[i] || values[i].empty() || !refused[i].empty()) continue;
          const int f = columns[i];
          if (!LoadsAsNumber(definition.column_type(f), definition.column_size(f), values[i])) {
            refused[i] = values[i];
          }
        }
      },
      problem);
  if (!whole) return chain_broken();

  std::string text = "\nCREATE TABLE " + QuoteIdentifier(table) + " (";
  std::string column_list;
  std::string notes;
  for (size_t i = 0; i < columns.size(); ++i) {
    const int f = columns[i];
    const std::string name = QuoteIdentifier(definition.column_name(f));
    const int32_t type = definition.column_type(f);
    const int32_t size = definition.column_size(f);
    std::string sql_type = SqlColumnType(type, size);
    if (!refused[i].empty()) {
      sql_type = SqlColumnType(0, size);
      notes += "-- " + CommentText(table) + "." + CommentText(definition.column_name(f)) +
               " holds '" + CommentText(refused[i]) + "', no " + SqlColumnType(type, size) +
               ": made " + sql_type + "\n";
      progress.Finish();
      err << "ztadmin: export-sql: " << table << "." << definition.column_name(f) << " holds '"
          << refused[i] << "', no " << SqlColumnType(type, size) << ": exported as " << sql_type
          << "\n";
    }
    text += std::string(i > 0 ? "," : "") + "\n  " + name + " " + sql_type;
    column_list += (i > 0 ? ", " : "") + name;
  }
  text += "\n);\n" + notes;
  // COPY takes no empty column list: a table without live columns loads
  // empty lines, one per record.
  text += "COPY " + QuoteIdentifier(table) +
          (columns.empty() ? std::string() : " (" + column_list + ")") + " FROM stdin;\n";
  out << text;
  text.clear();

  // Second pass: the data. The database is held exclusively, so the chain
  // is the one the first pass found whole; a failure is still reported.
  int64_t rows = 0;
  const bool again = ForEachLiveRow(
      db, definition,
      [&](const std::vector<std::string_view>& values) {
        AppendCopyRow(text, values, numeric);
        if (text.size() >= kFlushBytes) {
          out << text;
          text.clear();
        }
        if (++rows % 4096 == 0) progress.Show("export " + table, rows, 0);
      },
      problem);
  if (!again) return chain_broken();
  text += "\\.\n";
  for (const int f : columns) {
    if (definition.is_key(f)) {
      text += "CREATE INDEX ON " + QuoteIdentifier(table) + " (" +
              QuoteIdentifier(definition.column_name(f)) + ");\n";
    }
  }
  out << text;
  return static_cast<bool>(out);
}

}  // namespace

int ExportSqlCommand(const std::string& data_file, std::ostream& out, std::ostream& err,
                     bool show_progress) {
  Database db(TempFolder());
  std::vector<TableDefinition> tables;
  DefinitionHeader header;
  if (!OpenOffline(db, data_file, err) ||
      !ReadAllTablesOffline(db, data_file, tables, err, &header)) {
    return 1;
  }
  out << "-- The ZTServer database " << CommentText(data_file)
      << ", written by ztadmin export-sql.\n"
      << "-- Load it with: psql -v ON_ERROR_STOP=1 -f THIS-FILE DBNAME\n";
  for (int k = 0; k < kLocationFieldCount; ++k) {
    if (header.location(k).empty()) continue;
    out << "-- location " << (k + 1) << ": " << CommentText(header.location(k)) << "\n";
  }
  out << "SET client_encoding = 'UTF8';\nBEGIN;\n";
  ProgressLine progress(err, show_progress);
  for (const TableDefinition& definition : tables) {
    if (!ExportTable(db, definition, out, progress, err)) {
      if (!out) err << "ztadmin: export-sql: cannot write to standard output\n";
      return 1;
    }
  }
  progress.Finish();
  out << "\nCOMMIT;\n";
  if (!out.flush()) {
    err << "ztadmin: export-sql: cannot write to standard output\n";
    return 1;
  }
  return 0;
}

std::string SqlColumnType(int32_t type, int32_t size) {
  switch (type) {
    case 1:
      return size <= kBigintDigits ? "bigint" : "numeric";
    case 2:
      return "numeric";
    case 3:
      return "double precision";
    default:
      if (size < 1 || size > kMaxVarcharLength) return "text";
      return "varchar(" + std::to_string(size) + ")";
  }
}

bool LoadsAsNumber(int32_t type, int32_t size, std::string_view value) {
  switch (type) {
    case 1:
      // A larger column is numeric, which takes every whole number; a
      // bigint one is at most 18 characters long (kBigintDigits).
      return IsWholeNumber(value) && (size > kBigintDigits || value.size() <= kBigintDigits);
    case 2:
      return IsDecimalNumber(value);
    case 3:
      return IsDecimalNumber(value) && FitsDouble(value);
    default:
      return false;
  }
}

std::string QuoteIdentifier(std::string_view name) {
  std::string utf8;
  AppendAsUtf8(utf8, name);
  std::string quoted = "\"";
  for (const char c : utf8) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

void AppendCopyValue(std::string& out, std::string_view value) {
  std::string utf8;
  AppendAsUtf8(utf8, value);
  for (const char c : utf8) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
    }
  }
}

}  // namespace zt::admin
