#include "ztadmin/rows.h"

#include <ostream>

#include "engine/chain.h"
#include "engine/codec.h"
#include "engine/database.h"
#include "engine/file.h"
#include "ztadmin/commands.h"

namespace zt::admin {

bool ReadAllTablesOffline(Database& db, const std::string& data_file,
                          std::vector<TableDefinition>& tables, std::ostream& err,
                          DefinitionHeader* header_out) {
  tables.clear();
  DefinitionHeader header;
  if (!ReadDefinitionHeaderOffline(db, data_file, header, err)) return false;
  tables.resize(static_cast<size_t>(header.table_count()));
  for (int i = 0; i < header.table_count(); ++i) {
    if (!ReadTableOffline(db, data_file, std::string(header.table_name(i)),
                          tables[static_cast<size_t>(i)], err)) {
      return false;
    }
  }
  if (header_out != nullptr) *header_out = header;
  return true;
}

std::vector<int> LiveColumns(const TableDefinition& definition) {
  std::vector<int> columns;
  for (int f = 0; f < definition.column_count(); ++f) {
    if (!definition.is_dropped(f)) columns.push_back(f);
  }
  return columns;
}

bool ForEachLiveRow(Database& db, const TableDefinition& definition, const RowVisitor& visit,
                    std::string& problem) {
  std::vector<std::string> records;  // newest first, as the chain runs
  const bool whole = WalkChain(
      db, definition, definition.record_length(),
      [&](const ChainRecord& record) {
        if (!record.header.superseded()) records.push_back(record.data);
      },
      problem);
  if (!whole) return false;

  const std::vector<int> columns = LiveColumns(definition);
  std::vector<std::string_view> values(columns.size());
  for (auto it = records.rbegin(); it != records.rend(); ++it) {
    const std::string_view data = *it;
    for (size_t i = 0; i < columns.size(); ++i) {
      const int f = columns[i];
      const int64_t start = definition.column_offset(f);
      const int64_t size = definition.column_size(f) > 0 ? definition.column_size(f) : 0;
      std::string_view value;
      // A record shorter than its definition (written before a column was
      // added) reads the missing columns as empty.
      if (start + size <= static_cast<int64_t>(data.size())) {
        value = data.substr(static_cast<size_t>(start), static_cast<size_t>(size));
        value = TrimBlanks(value.substr(0, value.find('\0')));
      }
      values[i] = value;
    }
    visit(values);
  }
  return true;
}

namespace {

// Length of the valid UTF-8 sequence at the start of s (1..4), or 0 when
// s does not start with one: no overlong forms, no surrogates, nothing
// above U+10FFFF.
size_t Utf8SequenceLength(std::string_view s) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  const auto continuation = [&](size_t i) { return i < s.size() && (byte(i) & 0xC0) == 0x80; };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return continuation(1) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    if (!continuation(1) || !continuation(2)) return 0;
    if (lead == 0xE0 && byte(1) < 0xA0) return 0;   // overlong
    if (lead == 0xED && byte(1) >= 0xA0) return 0;  // a surrogate
    return 3;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    if (!continuation(1) || !continuation(2) || !continuation(3)) return 0;
    if (lead == 0xF0 && byte(1) < 0x90) return 0;   // overlong
    if (lead == 0xF4 && byte(1) >= 0x90) return 0;  // above U+10FFFF
    return 4;
  }
  return 0;
}

}  // namespace

void AppendAsUtf8(std::string& out, std::string_view bytes) {
  size_t i = 0;
  while (i < bytes.size()) {
    const size_t n = Utf8SequenceLength(bytes.substr(i));
    if (n > 0) {
      out.append(bytes.substr(i, n));
      i += n;
      continue;
    }
    const auto latin1 = static_cast<unsigned char>(bytes[i++]);
    out += static_cast<char>(0xC0 | (latin1 >> 6));
    out += static_cast<char>(0x80 | (latin1 & 0x3F));
  }
}

}  // namespace zt::admin
