#include "ztadmin/dump.h"

#include <ostream>
#include <vector>

#include "engine/codec.h"
#include "engine/database.h"
#include "engine/file.h"
#include "engine/chain.h"
#include "ztadmin/commands.h"
#include "ztadmin/csv.h"

namespace zt::admin {

int DumpCommand(const std::string& data_file, const std::string& table, std::ostream& out,
                std::ostream& err) {
  Database db(TempFolder());
  TableDefinition definition;
  if (!OpenOffline(db, data_file, err) ||
      !ReadTableOffline(db, data_file, table, definition, err)) {
    return 1;
  }

  std::vector<int> columns;  // the live columns, in record order
  std::string header;
  for (int f = 0; f < definition.column_count(); ++f) {
    if (definition.is_dropped(f)) continue;
    if (!columns.empty()) header += ',';
    header += CsvField(std::string(definition.column_name(f)));
    columns.push_back(f);
  }

  // The chain runs newest first; the lines are written oldest first, as a
  // load would append them again.
  std::vector<std::string> lines;
  std::string problem;
  const bool whole = WalkChain(
      db, definition, definition.record_length(),
      [&](const ChainRecord& record) {
        if (record.header.superseded()) return;
        std::string line;
        for (size_t i = 0; i < columns.size(); ++i) {
          const int f = columns[i];
          const int64_t start = definition.column_offset(f);
          const int64_t size = definition.column_size(f) > 0 ? definition.column_size(f) : 0;
          std::string_view value;
          if (start + size <= static_cast<int64_t>(record.data.size())) {
            value = std::string_view(record.data)
                        .substr(static_cast<size_t>(start), static_cast<size_t>(size));
            value = TrimBlanks(value.substr(0, value.find('\0')));
          }
          if (i > 0) line += ',';
          line += CsvField(std::string(value));
        }
        lines.push_back(std::move(line));
      },
      problem);
  if (!whole) {
    err << "ztadmin: table '" << definition.name() << "': " << problem << "\n";
    return 1;
  }
  out << header << "\n";
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) out << *it << "\n";
  return 0;
}

}  // namespace zt::admin
