// The words of ztcli's backslash commands: a line cut into words (quotes
// keep blanks), and the table query of \show and \count:
//
//   TABLE [WHERE col op value [AND col op value ...]] [ORDER BY col [DESC|ASC]] [LIMIT n]
//
// Keywords are case-insensitive; op is one of = <> != < <= > >= (!= is
// sent as <>). The server combines conditions with AND only, so OR is
// refused here with a clear message instead of being misread.
#ifndef ZTCLI_QUERY_H_
#define ZTCLI_QUERY_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ztcli {

// Cuts a line into words at blanks; 'single' or "double" quotes keep a
// word together (a doubled quote inside stands for one). false with a
// message in *error when a quote is not closed.
bool SplitWords(std::string_view line, std::vector<std::string>& words, std::string* error);

struct Condition {
  std::string column;
  std::string op;  // as the server takes it
  std::string value;
};

struct Query {
  std::string table;
  std::vector<Condition> conditions;
  std::string order_by;  // empty: the table's order
  bool descending = false;
  std::optional<long> limit;
};

// Parses the words after the backslash command. allow_order: whether
// ORDER BY and LIMIT may appear (\show yes, \count no).
bool ParseQuery(const std::vector<std::string>& words, bool allow_order, Query& query,
                std::string* error);

}  // namespace ztcli

#endif  // ZTCLI_QUERY_H_
