#include "ztcli/query.h"

#include <cstdlib>
#include <strings.h>

namespace ztcli {
namespace {

bool Is(const std::string& word, const char* keyword) {
  return strcasecmp(word.c_str(), keyword) == 0;
}

// The server's name for an operator, or null when there is none.
const char* ServerOperator(const std::string& op) {
  static const char* const kOps[][2] = {{"=", "="},   {"<>", "<>"}, {"!=", "<>"}, {"<", "<"},
                                        {"<=", "<="}, {">", ">"},   {">=", ">="}};
  for (const auto& pair : kOps) {
    if (op == pair[0]) return pair[1];
  }
  return nullptr;
}

}  // namespace

bool SplitWords(std::string_view line, std::vector<std::string>& words, std::string* error) {
  words.clear();
  size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ' || line[i] == '\t') {
      ++i;
      continue;
    }
    std::string word;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
      const char c = line[i];
      if (c != '\'' && c != '"') {
        word += c;
        ++i;
        continue;
      }
      // A quoted part: up to the matching quote; a doubled quote is one.
      ++i;
      for (;;) {
        if (i >= line.size()) {
          *error = std::string("a ") + c + " quote is not closed";
          return false;
        }
        if (line[i] == c) {
          if (i + 1 < line.size() && line[i + 1] == c) {
            word += c;
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        word += line[i++];
      }
    }
    words.push_back(word);
  }
  return true;
}

bool ParseQuery(const std::vector<std::string>& words, bool allow_order, Query& query,
                std::string* error) {
  query = Query();
  size_t i = 0;
  auto fail = [&](std::string text) {
    *error = std::move(text);
    return false;
  };
  if (words.empty()) return fail("which table?");
  query.table = words[i++];
  if (i < words.size() && Is(words[i], "WHERE")) {
    ++i;
    for (;;) {
      if (i + 3 > words.size()) return fail("WHERE wants: column op value");
      Condition condition{words[i], "", words[i + 2]};
      const char* op = ServerOperator(words[i + 1]);
      if (op == nullptr) {
        return fail("unknown operator '" + words[i + 1] + "' (use = <> < <= > >=)");
      }
      condition.op = op;
      if (condition.value.find_first_not_of(' ') == std::string::npos) {
        return fail("a condition cannot compare with a blank value");
      }
      query.conditions.push_back(condition);
      i += 3;
      if (i < words.size() && Is(words[i], "AND")) {
        ++i;
        continue;
      }
      if (i < words.size() && Is(words[i], "OR")) {
        return fail("OR is not supported: the server combines conditions with AND only");
      }
      break;
    }
  }
  if (allow_order && i < words.size() && Is(words[i], "ORDER")) {
    if (i + 2 >= words.size() || !Is(words[i + 1], "BY")) {
      return fail("ORDER BY wants a column");
    }
    query.order_by = words[i + 2];
    i += 3;
    if (i < words.size() && (Is(words[i], "DESC") || Is(words[i], "ASC"))) {
      query.descending = Is(words[i], "DESC");
      ++i;
    }
  }
  if (allow_order && i < words.size() && Is(words[i], "LIMIT")) {
    if (i + 1 >= words.size()) return fail("LIMIT wants a number");
    char* end = nullptr;
    const long n = std::strtol(words[i + 1].c_str(), &end, 10);
    if (*end != '\0' || words[i + 1].empty() || n < 0) {
      return fail("LIMIT wants a whole number, not '" + words[i + 1] + "'");
    }
    query.limit = n;
    i += 2;
  }
  if (i < words.size()) return fail("unexpected '" + words[i] + "'");
  return true;
}

}  // namespace ztcli
