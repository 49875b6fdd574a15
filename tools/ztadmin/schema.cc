#include "ztadmin/schema.h"

#include <cstdlib>
#include <vector>

#include "engine/codec.h"

namespace zt::admin {
namespace {

struct TypeAlias {
  const char* name;
  int code;
};
constexpr TypeAlias kTypeAliases[] = {
    {"integer", 1}, {"int", 1},  {"numeric", 2}, {"number", 2},
    {"float", 3},   {"real", 3}, {"text", 0},
};

// Splits a line into words; a double-quoted word keeps its blanks. Anything
// from an unquoted '#' on is a comment.
bool SplitWords(const std::string& line, std::vector<std::string>& words, std::string& problem) {
  words.clear();
  size_t i = 0;
  while (i < line.size()) {
    const char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r') {
      ++i;
    } else if (c == '#') {
      break;
    } else if (c == '"') {
      const size_t close = line.find('"', i + 1);
      if (close == std::string::npos) {
        problem = "unterminated quoted text";
        return false;
      }
      words.push_back(line.substr(i + 1, close - i - 1));
      i = close + 1;
    } else {
      size_t end = i;
      while (end < line.size() && line[end] != ' ' && line[end] != '\t' && line[end] != '\r' &&
             line[end] != '#') {
        ++end;
      }
      words.push_back(line.substr(i, end - i));
      i = end;
    }
  }
  return true;
}

// The whole number in s, or false.
bool ParseWholeNumber(const std::string& s, long low, long high, int& out) {
  if (s.empty() || s.size() > 9) return false;
  size_t i = (s[0] == '-') ? 1 : 0;
  if (i == s.size()) return false;
  for (size_t k = i; k < s.size(); ++k) {
    if (s[k] < '0' || s[k] > '9') return false;
  }
  const long value = std::strtol(s.c_str(), nullptr, 10);
  if (value < low || value > high) return false;
  out = static_cast<int>(value);
  return true;
}

bool ParseType(const std::string& word, int& code) {
  for (const TypeAlias& alias : kTypeAliases) {
    if (EqualNoCase(word, alias.name)) {
      code = alias.code;
      return true;
    }
  }
  return ParseWholeNumber(word, -999999999L, 999999999L, code);
}

// The rest of a location line after "location N": quoted text, or the raw
// remainder with surrounding blanks removed.
std::string LocationText(const std::vector<std::string>& words) {
  std::string text;
  for (size_t i = 2; i < words.size(); ++i) {
    if (i > 2) text += ' ';
    text += words[i];
  }
  return text;
}

}  // namespace

std::string TypeName(int type) {
  switch (type) {
    case 1:
      return "integer";
    case 2:
      return "numeric";
    case 3:
      return "float";
    case 0:
      return "text";
    default:
      return "type " + std::to_string(type);
  }
}

bool ParseColumn(const std::vector<std::string>& words, ColumnSchema& column,
                 std::string& problem) {
  if (words.size() < 3) {
    problem = "expected: NAME TYPE SIZE [key] [dropped]";
    return false;
  }
  column = ColumnSchema{};
  column.name = words[0];
  if (!IsValidName(column.name)) {
    problem =
        "invalid column name '" + column.name + "' (1 to 32 letters, digits, '_', '-', '.', '$')";
    return false;
  }
  if (!ParseType(words[1], column.type)) {
    problem =
        "unknown column type '" + words[1] + "' (integer, numeric, float, text or a type code)";
    return false;
  }
  if (!ParseWholeNumber(words[2], 1, kMaxRecordLength, column.size)) {
    problem = "column size '" + words[2] + "' must be a whole number from 1 to " +
              std::to_string(kMaxRecordLength);
    return false;
  }
  for (size_t i = 3; i < words.size(); ++i) {
    if (EqualNoCase(words[i], "key")) {
      column.key = true;
    } else if (EqualNoCase(words[i], "dropped")) {
      column.dropped = true;
    } else {
      problem = "unknown column option '" + words[i] + "' (key, dropped)";
      return false;
    }
  }
  return true;
}

bool ParseColumnWord(const std::string& word, ColumnSchema& column, std::string& problem) {
  std::vector<std::string> words;
  size_t start = 0;
  for (size_t colon = word.find(':'); colon != std::string::npos; colon = word.find(':', start)) {
    words.push_back(word.substr(start, colon - start));
    start = colon + 1;
  }
  words.push_back(word.substr(start));
  if (words.size() < 3) {
    problem = "column '" + word + "': expected NAME:TYPE:SIZE[:key]";
    return false;
  }
  if (!ParseColumn(words, column, problem)) {
    problem = "column '" + word + "': " + problem;
    return false;
  }
  return true;
}

bool ParseSchema(const std::string& text, const std::string& source, DatabaseSchema& schema,
                 std::string& error) {
  schema = DatabaseSchema{};
  size_t line_start = 0;
  int line_number = 0;
  std::vector<std::string> words;
  auto fail = [&](const std::string& problem) {
    error = source + ":" + std::to_string(line_number) + ": " + problem;
    return false;
  };
  while (line_start <= text.size()) {
    size_t line_end = text.find('\n', line_start);
    if (line_end == std::string::npos) line_end = text.size();
    const std::string line = text.substr(line_start, line_end - line_start);
    line_start = line_end + 1;
    ++line_number;
    if (line.find('\0') != std::string::npos) return fail("the line contains a NUL byte");
    std::string problem;
    if (!SplitWords(line, words, problem)) return fail(problem);
    if (words.empty()) continue;
    const std::string& keyword = words[0];

    if (EqualNoCase(keyword, "table")) {
      if (words.size() != 2) return fail("expected: table NAME");
      if (!IsValidName(words[1])) {
        return fail("invalid table name '" + words[1] +
                    "' (1 to 32 letters, digits, '_', '-', '.', '$')");
      }
      for (const TableSchema& existing : schema.tables) {
        if (EqualNoCase(existing.name, words[1]))
          return fail("table '" + words[1] + "' is defined twice");
      }
      if (schema.tables.size() >= static_cast<size_t>(kMaxTables)) {
        return fail("more than " + std::to_string(kMaxTables) + " tables");
      }
      schema.tables.push_back(TableSchema{words[1], {}});
    } else if (EqualNoCase(keyword, "column")) {
      if (schema.tables.empty()) return fail("a column must follow a 'table' line");
      if (words.size() < 4) return fail("expected: column NAME TYPE SIZE [key] [dropped]");
      TableSchema& table = schema.tables.back();
      ColumnSchema column;
      if (!ParseColumn({words.begin() + 1, words.end()}, column, problem)) return fail(problem);
      for (const ColumnSchema& existing : table.columns) {
        if (EqualNoCase(existing.name, column.name)) {
          return fail("column '" + column.name + "' is defined twice in table '" + table.name +
                      "'");
        }
      }
      if (table.columns.size() >= static_cast<size_t>(kMaxColumns)) {
        return fail("table '" + table.name + "' has more than " + std::to_string(kMaxColumns) +
                    " columns");
      }
      long length = column.size;
      for (const ColumnSchema& existing : table.columns) length += existing.size;
      if (length > kMaxRecordLength) {
        return fail("table '" + table.name + "' would have a record length of " +
                    std::to_string(length) + " bytes (at most " + std::to_string(kMaxRecordLength) +
                    ")");
      }
      table.columns.push_back(column);
    } else if (EqualNoCase(keyword, "location")) {
      int k = 0;
      if (words.size() < 2 || !ParseWholeNumber(words[1], 1, kLocationFieldCount, k)) {
        return fail("expected: location N TEXT, with N from 1 to 8");
      }
      const std::string value = LocationText(words);
      const size_t room = DefinitionHeader::kLocationWidths[static_cast<size_t>(k - 1)] - 1;
      if (value.size() > room) {
        return fail("location " + std::to_string(k) + " is longer than " + std::to_string(room) +
                    " characters");
      }
      schema.locations[static_cast<size_t>(k - 1)] = value;
    } else {
      return fail("unknown statement '" + keyword + "' (table, column, location)");
    }
  }
  line_number = 0;
  for (const TableSchema& table : schema.tables) {
    if (table.columns.empty()) {
      error = source + ": table '" + table.name + "' has no column";
      return false;
    }
  }
  if (schema.tables.empty()) {
    error = source + ": the schema defines no table";
    return false;
  }
  const std::string problem = ValidateDatabaseSchema(schema);
  if (!problem.empty()) {
    error = source + ": " + problem;
    return false;
  }
  return true;
}

}  // namespace zt::admin
