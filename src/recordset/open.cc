// Opening recordsets: binding a recordset to a table and generating its
// resultset, directly or on the key value nearest below or above a given one.
//
// An open always starts from a clean slate: whatever an earlier open of the
// same recordset left (its rows, images, row locks, counts, position) is
// released first. The filter
// columns belong to the recordset, not to one open, and stay in place.
#include <cstring>

#include "engine/codec.h"
#include "engine/index_key.h"
#include "recordset/recordset.h"
#include "recordset/recordset_fail.h"
#include "recordset/recordsets.h"

namespace zt {

int Recordsets::RecordsetOpen(int32_t handle, const char* table_name) {
  SliceClock clock = SliceClock::Whole();
  return RunWhole(Open(clock, handle, table_name));
}

// Restartable until the rows are made: what it changes before (the
// recordset's former rows and state released) a fresh start does again.
Task<int> Recordsets::Open(SliceClock& clock, int32_t handle, const char* table_name) {
  if (table_name == nullptr) co_return 0;
  Recordset* recordset = Find(handle);
  if (recordset == nullptr) co_return 0;
  auto fail = [&](std::string_view text) {
    return FailRecordset(database_, *recordset, text, Report::kYes);
  };
  if (!database_.IsConnected())
    co_return fail("RecordsetOpen: No database connection has been established!");
  if (std::strlen(table_name) > kMaxNameLength)
    co_return fail("RecordsetOpen: Table name is too long");

  // The rows being dropped may be the very rows the open will share again:
  // held until the open is done.
  std::shared_ptr<RowBlock> previous;
  if (recordset->has_rows() && recordset->block()->frozen) previous = recordset->block();
  ReleaseResultset(*recordset);
  recordset->sort_column.clear();
  recordset->filter_on_column.clear();
  recordset->filter_on_value.clear();
  recordset->table_name = table_name;

  const TableDefinition* definition = database_.TableDef(table_name, recordset->definition_offset);
  if (definition == nullptr) {
    recordset->open = 0;
    co_return fail("RecordsetOpen: Error reading the table header");
  }
  recordset->open = 1;
  recordset->record_length = definition->record_length();

  // An unfiltered open of a table nothing has changed since its last such
  // open yields the very same rows: take them instead of walking the table.
  std::string shared_key;
  if (recordset->filters.empty() && !database_.shared()) {
    shared_key = FoldText(TrimBlanks(table_name));
    const auto it = shared_rows_.find(shared_key);
    if (it != shared_rows_.end() && it->second.stamp == database_.change_count()) {
      if (std::shared_ptr<RowBlock> rows = it->second.rows.lock()) {
        recordset->set_block(std::move(rows));
        recordset->current_row = -1;
        if (recordset->row_count >= 1) RecordsetMoveFirst(handle);
        co_return 1;
      }
    }
  }
  const int generated = co_await GenerateResultset(clock, *recordset);
  if (!generated) {
    recordset->open = 0;
    if (over_budget_) {
      co_return fail("RecordsetOpen: Not enough resultset memory (ResultsetMemory limit reached)");
    }
    co_return fail("RecordsetOpen: Error generating result set");
  }
  if (!shared_key.empty()) {
    // Nobody writes these rows from now on; a recordset that changes a row
    // copies them first.
    recordset->block()->frozen = true;
    shared_rows_[shared_key] = SharedRows{recordset->block(), database_.change_count()};
  }
  recordset->current_row = -1;
  // An open recordset may have no current row when all its rows are
  // inactive; the open still succeeds.
  if (recordset->row_count >= 1) RecordsetMoveFirst(handle);
  co_return 1;
}

int Recordsets::RecordsetOpenFloor(int32_t handle, const char* table_name, const char* column_name,
                                   const char* value) {
  if (table_name == nullptr) {
    database_.SetError("RecordsetOpenFloor: Invalid table name");
    return 0;
  }
  if (column_name == nullptr) {
    database_.SetError("RecordsetOpenFloor: Invalid field name");
    return 0;
  }
  if (value == nullptr) {
    database_.SetError("RecordsetOpenFloor: Invalid field value");
    return 0;
  }
  SliceClock clock = SliceClock::Whole();
  return RunWhole(OpenNeighbour(clock, handle, table_name, column_name, value, 0));
}

Task<int> Recordsets::OpenFloor(SliceClock& clock, int32_t handle, const char* table_name,
                                const char* column_name, const char* value) {
  if (table_name == nullptr || column_name == nullptr || value == nullptr) {
    co_return RecordsetOpenFloor(handle, table_name, column_name, value);  // its texts
  }
  co_return co_await OpenNeighbour(clock, handle, table_name, column_name, value, 0);
}

Task<int> Recordsets::OpenCeiling(SliceClock& clock, int32_t handle, const char* table_name,
                                  const char* column_name, const char* value) {
  if (table_name == nullptr || column_name == nullptr || value == nullptr) co_return 0;
  co_return co_await OpenNeighbour(clock, handle, table_name, column_name, value, 1);
}

int Recordsets::RecordsetOpenCeiling(int32_t handle, const char* table_name,
                                     const char* column_name, const char* value) {
  if (table_name == nullptr || column_name == nullptr || value == nullptr) return 0;
  SliceClock clock = SliceClock::Whole();
  return RunWhole(OpenNeighbour(clock, handle, table_name, column_name, value, 1));
}

Task<int> Recordsets::OpenNeighbour(SliceClock& clock, int32_t handle, const char* table_name,
                                    const char* column_name, const char* value, int ceiling) {
  const std::string_view name = ceiling ? "RecordsetOpenCeiling" : "RecordsetOpenFloor";
  auto message = [&](std::string_view text) {
    return std::string(name) + ": " + std::string(text);
  };
  if (Find(handle) == nullptr) co_return 0;
  if (!database_.IsConnected()) {
    database_.SetError(message("No database connection has been established!"));
    co_return 0;
  }
  TableDefinition definition;
  int64_t definition_offset = 0;
  const std::string trimmed_table(TrimBlanks(table_name));
  if (!database_.GetTableDef(trimmed_table.c_str(), definition, definition_offset)) {
    database_.SetError(message("Disk-Read error and/or invalid table name"));
    co_return 0;
  }
  int column = -1;
  for (int f = 0; f < definition.column_count(); ++f) {
    if (!definition.is_dropped(f) && EqualNoCase(definition.column_name(f), column_name)) {
      column = f;
      break;
    }
  }
  if (column < 0 || !definition.is_key(column)) {
    database_.SetError(message("Field name is not a valid key name"));
    co_return 0;
  }

  const int32_t size = definition.column_size(column);
  const int32_t type = definition.column_type(column);
  const std::string_view table = definition.name();
  std::string key;
  if (*value != '\0') {
    key = MakeIndexKey(table, column_name, value, size, type);
  } else {
    key = std::string(table) + column_name;
    if (key.size() > kMaxKeyLength) key.resize(kMaxKeyLength);
  }

  // The neighbour must be an entry of this very table and column: the one
  // index holds every key column, and the entry just below the first key of
  // a column (or just above its last) belongs to another. Entries of a
  // column whose name merely extends this one ("Id" and "Idx") have another
  // length and are passed over.
  const std::string prefix = std::string(table) + column_name;
  const size_t key_length = IndexKeyLength(table, column_name, size);
  IndexCursor cursor;
  int found = ceiling ? database_.index().IndexSeekGT(key, cursor)
                      : database_.index().IndexSeekLT(key, cursor);
  int64_t steps_left = IndexEntryBound(database_.index());
  while (found && KeyHasPrefix(cursor.key, prefix) && cursor.key.size() != key_length) {
    found = --steps_left > 0 &&
            (ceiling ? database_.index().IndexNext(cursor) : database_.index().IndexPrev(cursor));
  }
  if (!found || !KeyHasPrefix(cursor.key, prefix)) {
    database_.SetErrorQuietly(message("No records found"));
    co_return 0;
  }

  // The value is what follows the prefix (the last `size` characters, unless
  // the key was cut at its maximum length).
  const std::string neighbour_value(TrimBlanks(std::string_view(cursor.key).substr(prefix.size())));
  if (!RecordsetAddFilterColumn(handle, column_name, "=", neighbour_value.c_str(),
                                IsNumericType(type) ? 1 : 0, 0)) {
    co_return 0;
  }
  // The condition stays on the recordset: a fresh start would add it again.
  clock.Hold();
  co_return co_await Open(clock, handle, table_name);
}

}  // namespace zt
