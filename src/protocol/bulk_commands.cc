// RECORDSETFETCHROWS: many rows of a recordset in one reply (an extension
// of the protocol; docs/protocol.md, "Extension: RECORDSETFETCHROWS").
//
//   RECORDSETFETCHROWS~h~n[~col,col,...]
//   RECORDSETFETCHROWS~h~k~c~end~v(1,1)~...~v(1,c)~v(2,1)~...~v(k,c)
//
// Up to n rows from the current row on, in the recordset's order, visiting
// the rows RECORDSETMOVENEXT visits (not deleted, not hidden by FILTERON);
// the recordset then stands on the row after the last one sent, or past
// its last row (end = 1) when none is left. c values a row, of the columns
// named (all live columns, in field order, when none are), each exactly as
// RECORDSETGETFIELDVALUE reads it, pending edits included.
//
// The reply's shape and its value framing: protocol/fetch_rows_format.h.
//
// Bounds: a request is answered from memory it sizes itself, so one reply
// carries at most kMaxFetchRows rows and stops adding rows once it holds
// kMaxFetchReplyBytes (at least one row is always sent, so a reply is at
// most that plus one escaped record) or once it has taken kSessionSlice:
// a client asking for many rows gets them over several requests, and other
// clients are served between them. A reply with fewer rows than asked for
// and end = 0 is therefore normal; only end = 1 says the rows are done.
#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "engine/codec.h"
#include "engine/database.h"
#include "engine/record.h"
#include "protocol/command_table.h"
#include "protocol/fetch_rows_format.h"
#include "protocol/request_processor.h"
#include "recordset/data_window.h"
#include "recordset/recordset_fail.h"
#include "recordset/recordsets.h"

namespace zt {
namespace {

constexpr const char* kFetchName = "RECORDSETFETCHROWS";
// Rows and bytes of one reply at most (see the bounds above).
constexpr int32_t kMaxFetchRows = 10000;
constexpr size_t kMaxFetchReplyBytes = 256 * 1024;

struct FetchColumn {
  int64_t start = 0;
  int64_t size = 0;
};

// The columns of a request's list (comma-separated names, without regard
// to case), or every live column when the list is empty. false (with the
// recordset's error text) when a name is unknown or dropped.
bool ResolveColumns(const Database& database, Recordset& recordset,
                    const TableDefinition& definition, std::string_view list,
                    std::vector<FetchColumn>& columns) {
  auto add = [&](int index) {
    const int32_t size = definition.column_size(index);
    columns.push_back({definition.column_offset(index), size > 0 ? size : 0});
  };
  if (list.empty()) {
    for (int f = 0; f < definition.column_count(); ++f) {
      if (!definition.is_dropped(f)) add(f);
    }
    return true;
  }
  while (true) {
    const size_t comma = list.find(',');
    const std::string_view name = TrimBlanks(list.substr(0, comma));
    const int index = definition.find_column(name.substr(0, kMaxNameLength));
    if (index < 0 || definition.is_dropped(index)) {
      FailRecordset(
          database, recordset,
          "RecordsetFetchRows: Invalid column name: " + std::string(name.substr(0, kMaxNameLength)),
          Report::kNo);
      return false;
    }
    add(index);
    if (comma == std::string_view::npos) return true;
    list.remove_prefix(comma + 1);
  }
}

// The first row of the recordset at or after r that a move visits; 0: none.
int32_t ActiveFrom(const Recordset& recordset, int32_t r) {
  for (; r <= recordset.row_count; ++r) {
    if (recordset.row(r).active()) return r;
  }
  return 0;
}

// Which way the next rows lie in the data file, judged from the first few
// stored ones: the window then reads ahead or behind in large pieces; rows
// in no order (a sort) are read one record at a time.
DataWindow::Direction GuessDirection(const Recordset& recordset, int32_t from) {
  constexpr int32_t kLook = 16;
  int ascending = 0;
  int descending = 0;
  int64_t previous = -1;
  for (int32_t r = from; r <= recordset.row_count && r < from + kLook; ++r) {
    const Row& row = recordset.row(r);
    if (row.is_new() || row.record_offset < 0) continue;
    if (previous >= 0) (row.record_offset > previous ? ascending : descending) += 1;
    previous = row.record_offset;
  }
  if (ascending > 0 && descending == 0) return DataWindow::Direction::kAhead;
  if (descending > 0 && ascending == 0) return DataWindow::Direction::kBehind;
  return DataWindow::Direction::kExact;
}

}  // namespace

bool HandleRecordsetFetchRows(CommandContext& ctx) {
  const auto deadline = std::chrono::steady_clock::now() + kSessionSlice;
  Recordset* recordset =
      ctx.recordsets.Checked(ctx.handle, {"RecordsetFetchRows: Database not open", Report::kYes,
                                          "RecordsetFetchRows: Recordset not open", Report::kNo});
  if (recordset == nullptr) return false;
  const int32_t wanted = FieldToInt(ctx.field(3));
  if (wanted < 1) {
    return FailRecordset(ctx.database, *recordset,
                         "RecordsetFetchRows: the number of rows must be at least 1", Report::kNo);
  }
  const int32_t limit = wanted < kMaxFetchRows ? wanted : kMaxFetchRows;
  int64_t definition_offset = 0;
  const TableDefinition* definition =
      ctx.database.TableDef(recordset->table_name.c_str(), definition_offset);
  if (definition == nullptr) {
    return FailRecordset(ctx.database, *recordset, "Unable to read table definition!",
                         Report::kYes);
  }
  std::vector<FetchColumn> columns;
  if (!ResolveColumns(ctx.database, *recordset, *definition, ctx.field(4), columns)) return false;

  std::string values;
  int32_t sent = 0;
  int32_t r = recordset->current_row >= 1 && recordset->has_rows()
                  ? ActiveFrom(*recordset, recordset->current_row)
                  : 0;
  if (r > 0) {
    DataWindow window(ctx.database.data_file(), GuessDirection(*recordset, r));
    const size_t record_bytes =
        RecordHeader::kSize +
        static_cast<size_t>(definition->record_length() > 0 ? definition->record_length() : 0);
    std::string value;
    while (r > 0 && sent < limit) {
      const Row& row = recordset->row(r);
      // One read brings the whole record into the window; a record cut
      // short by the end of the file is read column by column instead.
      if (!row.has_image() && !row.is_new() && row.record_offset >= 0) {
        (void)window.View(row.record_offset, record_bytes);
      }
      for (const FetchColumn& column : columns) {
        value.clear();
        if (column.size > 0 &&
            ctx.recordsets.ReadRowValue(*recordset, row, *definition, column.start, column.size,
                                        &value, nullptr, &window) != RowValue::kRead) {
          recordset->current_row = r;  // the row that cannot be read, as a move leaves it
          return FailRecordset(ctx.database, *recordset,
                               "RecordsetFetchRows: Unable to read column value", Report::kYes);
        }
        values += kFieldSeparator;
        AppendFetchedValue(values, value);
      }
      ++sent;
      r = ActiveFrom(*recordset, r + 1);
      if (values.size() >= kMaxFetchReplyBytes) break;
      if (sent % 64 == 0 && std::chrono::steady_clock::now() >= deadline) break;
    }
  }
  const bool end = r == 0;
  // Past the last row when none is left: a later fetch sends nothing,
  // GETFIELDVALUE and MOVEPREV fail, MOVEFIRST and MOVELAST start again.
  if (end) {
    if (recordset->current_row >= 1) recordset->current_row = recordset->row_count + 1;
  } else {
    recordset->current_row = r;
  }
  ctx.reply = EchoReply(kFetchName, ctx.handle);
  ctx.reply += kFieldSeparator;
  ctx.reply += IdToText(sent);
  ctx.reply += kFieldSeparator;
  ctx.reply += IdToText(static_cast<int32_t>(columns.size()));
  ctx.reply += kFieldSeparator;
  ctx.reply += end ? '1' : '0';
  ctx.reply += values;
  return true;
}

}  // namespace zt
