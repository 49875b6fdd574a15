// CSV for the tools: a strict RFC 4180 reader (`ztadmin load`) and the
// field writer whose output it reads back (`ztadmin dump`, `ztcli --csv`).
// It knows text only, nothing of databases or of the server.
//
// Fields are separated by ',' and records by CRLF or LF; a field in double
// quotes may hold commas, line breaks and doubled quotes (""). A quote
// inside an unquoted field, text after a closing quote, or a quoted field
// still open at the end of the input are errors. The reader works on the
// whole text in memory and hands out one record at a time with the line on
// which it starts.
#ifndef ZT_CSV_CSV_H_
#define ZT_CSV_CSV_H_

#include <string>
#include <string_view>
#include <vector>

namespace zt {

class CsvReader {
 public:
  explicit CsvReader(std::string_view text) : text_(text) {}

  // Reads the next record into fields. Returns false at the end of the input
  // or on an error (error() then says what, and line() where).
  bool Next(std::vector<std::string>& fields);

  // The line on which the last record returned (or the failing one) starts.
  int line() const { return record_line_; }
  const std::string& error() const { return error_; }
  // Bytes consumed so far (for progress reports).
  size_t position() const { return pos_; }

 private:
  std::string_view text_;
  size_t pos_ = 0;
  int next_line_ = 1;
  int record_line_ = 0;
  std::string error_;
};

// One CSV field: quoted (with doubled quotes) when it holds a comma, a
// quote or a line break; as it stands otherwise (what the reader takes back).
std::string CsvField(const std::string& value);

}  // namespace zt

#endif  // ZT_CSV_CSV_H_
