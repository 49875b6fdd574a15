// `ztadmin dump`: the live records of one table or of every table, oldest
// first, as CSV in the form `ztadmin load` reads back, or as JSON.
//
//   dump DATAFILE TABLE [--format csv|json]   one table to standard output
//   dump DATAFILE --folder DIR                every table, one CSV file each
//   dump DATAFILE --format json               every table to standard output
//
// CSV: a header line naming the live columns, then one line per record;
// the values are the stored bytes as they stand (no character conversion).
// The folder DIR must not exist: the files are written into DIR.partial,
// synced, and the folder renamed to DIR at the end, so DIR appears whole or
// not at all. A table's file is named after it (TableFileName).
//
// JSON: JSON Lines, one object per record and per line:
//   {"table":"Orders","record":{"Id":7,"Customer":"Smith","Note":""}}
// A value of a numeric column (type 1, 2 or 3) whose text is a JSON number
// is written as that number (its text unchanged); every other value,
// blanks and text such as "007" or "+5" included, is a string. Strings are
// the stored bytes read as UTF-8, a byte outside any valid sequence taken
// as Latin-1 (AppendAsUtf8), with '"', '\' and control characters escaped.
#ifndef ZTADMIN_DUMP_H_
#define ZTADMIN_DUMP_H_

#include <iosfwd>
#include <span>
#include <string>
#include <string_view>

namespace zt::admin {

enum class DumpFormat { kCsv, kJson };

struct DumpRequest {
  std::string data_file;
  std::string table;   // empty: every table
  std::string folder;  // every table as CSV files into this new folder
  DumpFormat format = DumpFormat::kCsv;
};

// Reads the words after `dump`. False (with a reason) on a usage error.
bool ParseDumpArgs(std::span<const std::string> args, DumpRequest& request, std::string& problem);

// Runs a dump. Exit status 0 when everything was written (a failed write
// to out is a failure too); progress goes to err when show_progress.
int DumpCommand(const DumpRequest& request, std::ostream& out, std::ostream& err,
                bool show_progress);

// The file name of a table's CSV file in a dump folder: the name with
// ".csv" appended, where '/', '%', control bytes and a leading '.' are
// written as %xx (hexadecimal) so that every name makes one plain file.
std::string TableFileName(std::string_view table);

// A JSON number by the grammar of RFC 8259 (-?(0|[1-9][0-9]*)(.[0-9]+)?
// ([eE][+-]?[0-9]+)?).
bool IsJsonNumber(std::string_view text);
// Appends text as a JSON string, quotes included.
void AppendJsonString(std::string& out, std::string_view text);

}  // namespace zt::admin

#endif  // ZTADMIN_DUMP_H_
